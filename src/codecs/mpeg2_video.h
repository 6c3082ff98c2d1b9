// MPEG-2 video (ISO/IEC 13818-2, ITU-T H.262): the start codes that cut
// the stream (6.2), and the sequence header, sequence extension and picture
// header fields a container needs (6.2.2.1, 6.2.2.3, 6.2.3).
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex::mpeg2 {

// The byte after 00 00 01 (table 6-1).
inline constexpr uint8_t kPictureStart = 0x00;
inline constexpr uint8_t kUserData = 0xB2;
inline constexpr uint8_t kSequenceHeader = 0xB3;
inline constexpr uint8_t kExtension = 0xB5;
inline constexpr uint8_t kSequenceEnd = 0xB7;
inline constexpr uint8_t kGroupStart = 0xB8;

inline bool is_slice(uint8_t code) { return code >= 0x01 && code <= 0xAF; }

// extension_start_code_identifier (table 6-2).
inline constexpr uint8_t kSequenceExtension = 1;
inline constexpr uint8_t kPictureCodingExtension = 8;

// picture_coding_type (table 6-12).
inline constexpr uint8_t kIntraPicture = 1;

struct SequenceHeader {
    uint16_t width = 0;   // horizontal_size_value (and its extension bits)
    uint16_t height = 0;
    uint8_t frame_rate_code = 0;
    uint32_t bit_rate = 0;  // in units of 400 bit/s, 0 when unknown
};

// The sequence header whose start code value byte (0xB3) is the first of
// `unit`; empty when it is too short.
std::optional<SequenceHeader> parse_sequence_header(ByteSpan unit);

struct SequenceExtension {
    uint8_t profile_and_level = 0;
    bool progressive_sequence = false;
    uint8_t chroma_format = 1;
    uint8_t width_extension = 0;   // horizontal_size_extension (2 bits)
    uint8_t height_extension = 0;
    uint16_t bit_rate_extension = 0;
    uint8_t frame_rate_extension_n = 0;
    uint8_t frame_rate_extension_d = 0;
};

// The sequence extension whose start code value byte (0xB5) is the first
// of `unit`; empty when it is another extension or too short.
std::optional<SequenceExtension> parse_sequence_extension(ByteSpan unit);

// The picture size and frame duration of a sequence (its extension, when
// given, adds the high bits and the frame rate's factor).
struct Sequence {
    uint16_t width = 0;
    uint16_t height = 0;
    std::optional<uint32_t> frame_duration_90k;  // none for a forbidden or reserved frame_rate_code
    uint32_t bit_rate = 0;                       // bit/s
};
Sequence describe_sequence(const SequenceHeader& h, const std::optional<SequenceExtension>& e);

// The MPEG-4 objectTypeIndication of the stream (ISO/IEC 14496-1 table 5):
// 0x60 Simple, 0x61 Main, 0x62 SNR, 0x63 Spatial, 0x64 High and 0x65 4:2:2
// profile; 0x61 when the profile cannot be told.
uint8_t object_type_indication(const std::optional<SequenceExtension>& e);

}  // namespace morvex::mpeg2
