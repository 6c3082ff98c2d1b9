#include "codecs/mpeg_audio.h"

namespace morvex::mpeg_audio {
namespace {

// kbit/s by [MPEG-1 ? 0 : 1][layer - 1][bitrate_index]; index 0 (free
// format) and 15 are not taken.
constexpr uint16_t kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
constexpr uint32_t kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

}  // namespace

std::optional<FrameHeader> parse_frame_header(ByteSpan b) {
    if (b.size() < 4 || b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return std::nullopt;
    const uint8_t version_bits = (b[1] >> 3) & 3;  // 00 2.5, 01 reserved, 10 MPEG-2, 11 MPEG-1
    const uint8_t layer_bits = (b[1] >> 1) & 3;    // 01 III, 10 II, 11 I
    const uint8_t bitrate_index = b[2] >> 4;
    const uint8_t rate_index = (b[2] >> 2) & 3;
    const bool padding = b[2] & 0x02;
    if (version_bits == 1 || layer_bits == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3)
        return std::nullopt;
    FrameHeader h;
    h.version = version_bits == 3 ? 1 : version_bits == 2 ? 2 : 25;
    h.layer = uint8_t(4 - layer_bits);
    const bool mpeg1 = h.version == 1;
    h.bitrate = uint32_t(kBitrates[mpeg1 ? 0 : 1][h.layer - 1][bitrate_index]) * 1000;
    h.sample_rate = kRates[mpeg1 ? 0 : h.version == 2 ? 1 : 2][rate_index];
    h.channels = ((b[3] >> 6) & 3) == 3 ? 1 : 2;
    if (h.layer == 1) {
        h.samples = 384;
        h.frame_length = (12 * h.bitrate / h.sample_rate + (padding ? 1 : 0)) * 4;
    } else {
        h.samples = h.layer == 3 && !mpeg1 ? 576 : 1152;
        h.frame_length = h.samples / 8 * h.bitrate / h.sample_rate + (padding ? 1 : 0);
    }
    if (h.frame_length < 4) return std::nullopt;
    return h;
}

}  // namespace morvex::mpeg_audio
