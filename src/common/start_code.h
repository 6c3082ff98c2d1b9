// Annex B start codes (H.264 B.1): 00 00 00 01 or 00 00 01.
#pragma once

#include <cstddef>

#include "common/bytes.h"

namespace morvex {

// Length of the start code at `i` (4 for 00 00 00 01, tested first; 3 for
// 00 00 01), or 0 when none begins there.
inline size_t start_code_at(ByteSpan b, size_t i) {
    const size_t n = b.size();
    if (i + 3 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1) return 4;
    if (i + 2 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return 3;
    return 0;
}

}  // namespace morvex
