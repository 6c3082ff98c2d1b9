// Program-specific information: the PAT and PMT sections of H.222.0 2.4.4.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex {

// PID of the first programme's PMT from a PAT packet payload (pointer_field
// first), or an empty optional when the payload is no usable PAT.
std::optional<uint16_t> parse_pat(ByteSpan payload);

struct PmtStreams {
    std::optional<uint16_t> video_pid;  // first H.264 / MPEG-2 video entry
    std::optional<uint16_t> audio_pid;  // first ADTS AAC / MPEG audio entry
};

// The elementary streams of a PMT packet payload; both absent when the
// payload is no usable PMT.
PmtStreams parse_pmt(ByteSpan payload);

}  // namespace morvex
