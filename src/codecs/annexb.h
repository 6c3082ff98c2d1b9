// The Annex B byte stream of H.264 (B.1) and H.265 (B.2): NAL units behind
// 00 00 01 or 00 00 00 01 start codes, and the RBSP inside a NAL unit with
// its emulation-prevention bytes removed (H.264 7.4.1, H.265 7.4.2). Both
// codecs frame their NAL units the same way; only the header differs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace morvex::annexb {

// Length of the start code at `i` (4 for 00 00 00 01, tested first; 3 for
// 00 00 01), or 0 when none begins there.
inline size_t start_code_at(ByteSpan b, size_t i) {
    const size_t n = b.size();
    if (i + 3 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1) return 4;
    if (i + 2 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return 3;
    return 0;
}

struct Nal {
    size_t start;   // first byte of the start code
    size_t header;  // the first NAL header byte
    size_t end;     // one past the last byte (where the next start code begins)

    size_t size() const { return end - header; }
};

// The first NAL unit whose start code begins at or after `from`. Zero bytes
// before a start code other than its own stay in the preceding unit; a
// start code ends the unit before it even when no byte follows it.
std::optional<Nal> next_nal(ByteSpan b, size_t from);

// Calls `f(nal)` for each NAL unit of an Annex B run, in order.
template <typename F>
void for_each_nal(ByteSpan b, F&& f) {
    size_t pos = 0;
    while (auto nal = next_nal(b, pos)) {
        f(*nal);
        if (nal->end >= b.size()) break;
        pos = nal->end;
    }
}

// The RBSP of NAL unit bytes: every 0x03 after two zero bytes is an
// emulation-prevention byte and is dropped.
std::vector<uint8_t> unescape_rbsp(ByteSpan payload);

}  // namespace morvex::annexb
