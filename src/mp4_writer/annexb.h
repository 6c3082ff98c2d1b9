// NAL units of an H.264 Annex B byte stream (H.264 Annex B.1).
#pragma once

#include <cstddef>
#include <optional>

#include "common/bytes.h"
#include "common/start_code.h"

namespace morvex {

struct AnnexBNal {
    size_t start;   // first byte of the start code
    size_t header;  // the NAL header byte
    size_t end;     // one past the last byte (where the next start code begins)
};

// The first NAL unit whose start code begins at or after `from`. Zero bytes
// before a start code other than its own stay in the preceding unit, and a
// start code in the last three bytes does not end a unit.
std::optional<AnnexBNal> next_nal(ByteSpan b, size_t from);

inline uint8_t nal_type(ByteSpan b, const AnnexBNal& nal) { return b[nal.header] & 0x1F; }

}  // namespace morvex
