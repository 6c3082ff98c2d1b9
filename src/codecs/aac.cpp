#include "codecs/aac.h"

#include <array>

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

}  // namespace morvex::aac
