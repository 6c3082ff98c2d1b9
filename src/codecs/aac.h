// AAC audio: the ADTS frame header (ISO/IEC 13818-7 6.2, ISO/IEC 14496-3
// 1.A.2) and the AudioSpecificConfig of MP4 (ISO/IEC 14496-3 1.6.2.1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex::aac {

inline constexpr uint32_t kSamplesPerFrame = 1024;

struct AdtsHeader {
    uint8_t profile = 1;  // audio object type - 1
    uint8_t sampling_frequency_index = 3;
    uint8_t channel_configuration = 2;
    uint8_t header_size = 7;  // 9 with the CRC (protection_absent 0)
    uint16_t frame_length = 0;  // header included
};

// The header at the front of `b`: sync word 0xFFF, layer 00, a sampling
// index that names a rate, and a frame_length that holds the header. Empty
// otherwise (also when fewer than 7 bytes are there).
std::optional<AdtsHeader> parse_adts_header(ByteSpan b);

// The sampling rate of a sampling_frequency_index, or 0 when reserved.
uint32_t sample_rate(uint8_t index);

// Channels of a channel_configuration (ISO/IEC 14496-3 1.6.3.5); 0
// (described in-band) is taken as stereo.
uint16_t channel_count(uint8_t configuration);

// What an AudioSpecificConfig (ISO/IEC 14496-3 1.6.2.1) says of the raw
// frames of its stream.
struct AudioSpecificConfig {
    // audioObjectType of the frames' syntax: with SBR or PS signalled
    // explicitly (types 5 and 29) the core's type that follows.
    uint8_t object_type = 0;
    // The core's sampling_frequency_index; an explicit frequency is taken
    // as the index whose scalefactor bands serve it (4.5.4: 92017 Hz and
    // up as 96 kHz, ...).
    uint8_t sampling_frequency_index = 0;
    uint32_t sampling_frequency = 0;  // of the core
    uint8_t channel_configuration = 0;  // 0: a program_config_element says
    bool frame_length_960 = false;      // GASpecificConfig frameLengthFlag
};

// Empty when the config ends before GASpecificConfig's frameLengthFlag.
std::optional<AudioSpecificConfig> parse_audio_specific_config(ByteSpan asc);

// The two-byte AudioSpecificConfig of an ADTS stream: object type, sampling
// index, channel configuration (0 written as 2).
uint16_t audio_specific_config(const AdtsHeader& h);

}  // namespace morvex::aac
