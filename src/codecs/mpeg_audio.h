// MPEG-1 and MPEG-2 audio, Layers I to III (ISO/IEC 11172-3 2.4.2.3,
// ISO/IEC 13818-3 2.4.2.3; the MPEG-2.5 rates as decoders read them): the
// frame header, which gives the frame's length and sample count.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex::mpeg_audio {

struct FrameHeader {
    uint8_t version = 1;  // 1: MPEG-1, 2: MPEG-2, 25: MPEG-2.5
    uint8_t layer = 3;    // 1, 2 or 3
    uint32_t sample_rate = 0;
    uint32_t bitrate = 0;  // bits a second
    uint16_t channels = 2;
    uint32_t samples = 0;       // per frame
    uint32_t frame_length = 0;  // header included
};

// The header at the front of `b`: the 11-bit sync, a version, layer,
// bitrate and sampling index that name real values (free format is not
// taken), and a frame length of at least the header. Empty otherwise.
std::optional<FrameHeader> parse_frame_header(ByteSpan b);

// objectTypeIndication of the MP4 decoder configuration (ISO/IEC 14496-1
// table 5): 0x6B for MPEG-1 audio, 0x69 for MPEG-2 audio.
inline uint8_t object_type_indication(const FrameHeader& h) { return h.version == 1 ? 0x6B : 0x69; }

}  // namespace morvex::mpeg_audio
