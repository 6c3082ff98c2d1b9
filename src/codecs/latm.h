// AAC in LATM/LOAS (ISO/IEC 14496-3 1.7), the usual framing of AAC in DVB:
// the LOAS AudioSyncStream (1.7.2) whose frames each hold an AudioMuxElement
// (1.7.3): a StreamMuxConfig, which carries the AudioSpecificConfig
// (1.6.2.1), when the element does not use the one before, then the length
// and bits of the raw AAC frame.
//
// The raw frame's bits need not start on a byte boundary; an MP4 sample
// holds it byte-aligned, so the frame is moved into place within the LOAS
// frame's own bytes. Streams with one programme, one layer and one frame
// per element (numProgram, numLayer and numSubFrames 0) and frames of
// variable length (frameLengthType 0) are read: what DVB and FFmpeg send.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/bytes.h"

namespace morvex::latm {

// The length of the LOAS frame at the front of `b` (its 3-byte header
// included) when `b` begins with the sync word 0x2B7; `b` holds 3 bytes at
// least.
std::optional<uint32_t> loas_frame_length(ByteSpan b);

// What the sample entry needs of the AudioSpecificConfig.
struct AudioConfig {
    Bytes specific_config;  // the AudioSpecificConfig, its bits from a byte boundary
    uint8_t object_type = 2;
    uint32_t sample_rate = 48000;  // of the AAC core
    uint16_t channels = 2;
    uint16_t frame_samples = 1024;  // 960 with frameLengthFlag
};

// The StreamMuxConfig in force.
struct MuxConfig {
    uint8_t audio_mux_version = 0;
    bool other_data = false;
    uint32_t other_data_bits = 0;
    AudioConfig audio;
};

struct MuxState {
    std::optional<MuxConfig> config;
};

// Reads the AudioMuxElement of the LOAS frame `frame` (header included) and
// moves its raw AAC frame to the front of the element, byte-aligned.
// Returns where the raw frame now lies in `frame` (from byte 3) and its
// length; empty when the element cannot be read (no configuration yet, a
// layout not read, a length past the frame).
struct Payload {
    size_t offset = 0;
    size_t size = 0;
};
std::optional<Payload> read_audio_mux_element(std::span<uint8_t> frame, MuxState& state);

}  // namespace morvex::latm
