#include "codecs/aac.h"

#include <array>

#include "codecs/bit_reader.h"

namespace morvex::aac {

std::optional<AdtsHeader> parse_adts_header(ByteSpan b) {
    if (b.size() < 7) return std::nullopt;
    // syncword (12) ID (1) layer (2) protection_absent (1)
    if (b[0] != 0xFF || (b[1] & 0xF6) != 0xF0) return std::nullopt;
    AdtsHeader h;
    h.profile = uint8_t(b[2] >> 6);
    h.sampling_frequency_index = uint8_t((b[2] >> 2) & 0x0F);
    h.channel_configuration = uint8_t(((b[2] & 0x01) << 2) | (b[3] >> 6));
    h.header_size = (b[1] & 0x01) ? 7 : 9;
    h.frame_length = uint16_t((size_t(b[3] & 0x03) << 11) | (size_t(b[4]) << 3) | (b[5] >> 5));
    if (sample_rate(h.sampling_frequency_index) == 0 || h.frame_length < h.header_size) return std::nullopt;
    return h;
}

uint32_t sample_rate(uint8_t index) {
    static constexpr std::array<uint32_t, 13> rates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                       22050, 16000, 12000, 11025, 8000,  7350};
    return index < rates.size() ? rates[index] : 0;
}

uint16_t channel_count(uint8_t configuration) {
    if (configuration == 0) return 2;
    if (configuration == 7) return 8;
    return configuration;
}

uint16_t audio_specific_config(const AdtsHeader& h) {
    const uint8_t object_type = uint8_t(h.profile + 1);
    const uint8_t channels = h.channel_configuration == 0 ? 2 : h.channel_configuration;
    return uint16_t((object_type & 0x1F) << 11 | (h.sampling_frequency_index & 0x0F) << 7 | (channels & 0x0F) << 3);
}

namespace {

std::optional<uint32_t> read_object_type(BitReader& r) {
    auto type = r.bits(5);
    if (type && *type == 31) {
        auto more = r.bits(6);
        if (!more) return std::nullopt;
        return 32 + *more;
    }
    return type;
}

// samplingFrequencyIndex, and the 24-bit frequency after the escape 15.
bool read_frequency(BitReader& r, uint8_t& index, uint32_t& frequency) {
    auto i = r.bits(4);
    if (!i || *i == 13 || *i == 14) return false;
    if (*i != 15) {
        index = uint8_t(*i);
        frequency = sample_rate(index);
        return true;
    }
    auto f = r.bits(24);
    if (!f || *f == 0) return false;
    frequency = *f;
    // The nearest table (ISO/IEC 14496-3 4.5.4, the sampling frequency
    // mapping of the scalefactor band tables).
    static constexpr uint32_t kFrom[] = {92017, 75132, 55426, 46009, 37566, 27713, 23004, 18783, 13856, 11502, 9391};
    index = 11;
    for (uint8_t k = 0; k < 11; ++k)
        if (frequency >= kFrom[k]) {
            index = k;
            break;
        }
    return true;
}

}  // namespace

std::optional<AudioSpecificConfig> parse_audio_specific_config(ByteSpan asc) {
    BitReader r{asc};
    AudioSpecificConfig c;
    auto type = read_object_type(r);
    if (!type || !read_frequency(r, c.sampling_frequency_index, c.sampling_frequency)) return std::nullopt;
    auto channels = r.bits(4);
    if (!channels) return std::nullopt;
    c.channel_configuration = uint8_t(*channels);
    if (*type == 5 || *type == 29) {
        uint8_t index = 0;
        uint32_t frequency = 0;
        if (!read_frequency(r, index, frequency)) return std::nullopt;  // of the extension
        type = read_object_type(r);
        if (!type) return std::nullopt;
    }
    if (*type == 0 || *type > 255) return std::nullopt;
    c.object_type = uint8_t(*type);
    auto frame_length = r.bit();
    if (!frame_length) return std::nullopt;
    c.frame_length_960 = *frame_length;
    return c;
}

}  // namespace morvex::aac
