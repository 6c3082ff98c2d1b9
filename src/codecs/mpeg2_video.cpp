#include "codecs/mpeg2_video.h"

#include <algorithm>

#include "codecs/bit_reader.h"

namespace morvex::mpeg2 {
namespace {

// frame_rate_code (table 6-4) as a fraction of frames a second.
struct Rate {
    uint32_t num, den;
};
constexpr Rate kFrameRates[16] = {{0, 1},     {24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1},
                                  {50, 1},    {60000, 1001}, {60, 1}, {0, 1},  {0, 1},         {0, 1},
                                  {0, 1},     {0, 1},        {0, 1},  {0, 1}};

}  // namespace

std::optional<SequenceHeader> parse_sequence_header(ByteSpan unit) {
    // The value byte, then horizontal_size_value (12), vertical_size_value
    // (12), aspect_ratio_information (4), frame_rate_code (4),
    // bit_rate_value (18), marker_bit.
    if (unit.size() < 8 || unit[0] != kSequenceHeader) return std::nullopt;
    BitReader r{unit.subspan(1)};
    SequenceHeader h;
    h.width = uint16_t(*r.bits(12));
    h.height = uint16_t(*r.bits(12));
    r.bits(4);
    h.frame_rate_code = uint8_t(*r.bits(4));
    h.bit_rate = *r.bits(18);
    return h;
}

std::optional<SequenceExtension> parse_sequence_extension(ByteSpan unit) {
    // The value byte, extension_start_code_identifier (4),
    // profile_and_level_indication (8), progressive_sequence,
    // chroma_format (2), horizontal_size_extension (2),
    // vertical_size_extension (2), bit_rate_extension (12), marker_bit,
    // vbv_buffer_size_extension (8), low_delay, frame_rate_extension_n (2),
    // frame_rate_extension_d (5).
    if (unit.size() < 7 || unit[0] != kExtension || (unit[1] >> 4) != kSequenceExtension) return std::nullopt;
    BitReader r{unit.subspan(1)};
    r.bits(4);
    SequenceExtension e;
    e.profile_and_level = uint8_t(*r.bits(8));
    e.progressive_sequence = *r.bit();
    e.chroma_format = uint8_t(*r.bits(2));
    e.width_extension = uint8_t(*r.bits(2));
    e.height_extension = uint8_t(*r.bits(2));
    e.bit_rate_extension = uint16_t(*r.bits(12));
    r.bits(1 + 8 + 1);
    e.frame_rate_extension_n = uint8_t(*r.bits(2));
    e.frame_rate_extension_d = uint8_t(*r.bits(5));
    return e;
}

Sequence describe_sequence(const SequenceHeader& h, const std::optional<SequenceExtension>& e) {
    Sequence s;
    s.width = h.width;
    s.height = h.height;
    uint64_t rate_num = kFrameRates[h.frame_rate_code & 15].num;
    uint64_t rate_den = kFrameRates[h.frame_rate_code & 15].den;
    uint64_t bit_rate = h.bit_rate;
    if (e) {
        s.width = uint16_t(s.width | (e->width_extension << 12));
        s.height = uint16_t(s.height | (e->height_extension << 12));
        // frame_rate = frame_rate_value * (n + 1) / (d + 1) (6.3.3).
        rate_num *= uint64_t(e->frame_rate_extension_n) + 1;
        rate_den *= uint64_t(e->frame_rate_extension_d) + 1;
        bit_rate |= uint64_t(e->bit_rate_extension) << 18;
    }
    if (rate_num != 0) {
        const uint64_t d = (90000 * rate_den + rate_num / 2) / rate_num;
        if (d >= 90 && d <= 90000) s.frame_duration_90k = uint32_t(d);
    }
    // bit_rate counts 400 bit/s; 0x3FFFF means a variable rate.
    if (bit_rate != 0x3FFFF) s.bit_rate = uint32_t(std::min<uint64_t>(bit_rate * 400, UINT32_MAX));
    return s;
}

uint8_t object_type_indication(const std::optional<SequenceExtension>& e) {
    if (!e) return 0x61;
    const uint8_t p = e->profile_and_level;
    // The escape bit set: the 4:2:2 profile at main or high level (0x85,
    // 0x82) is the one with an object type of its own (table 8-2).
    if (p & 0x80) return (p == 0x82 || p == 0x85) ? 0x65 : 0x61;
    switch ((p >> 4) & 7) {
        case 1: return 0x64;  // High
        case 2: return 0x63;  // Spatially scalable
        case 3: return 0x62;  // SNR scalable
        case 4: return 0x61;  // Main
        case 5: return 0x60;  // Simple
        default: return 0x61;
    }
}

}  // namespace morvex::mpeg2
