#include "ts_parser/adts.h"

namespace morvex {

AacCut extract_aac_frames(ByteSpan d) {
    AacCut cut;
    const size_t n = d.size();
    if (n < 8) return cut;
    size_t a = 0;  // end of the last frame taken
    size_t e = 0;  // search position
    while (e + 8 <= n) {
        // 12-bit syncword 0xFFF.
        if (d[e] != 0xFF || d[e + 1] < 0xF0) {
            ++e;
            continue;
        }
        const size_t frame_length = (size_t(d[e + 3] & 0x03) << 11) | (size_t(d[e + 4]) << 3) | (d[e + 5] >> 5);
        if (frame_length < 7) {
            ++e;  // false sync inside other bytes
            continue;
        }
        if (frame_length > n - e) break;  // not complete yet
        // protection_absent = 0 means a 16-bit CRC follows the 7-byte header.
        const size_t header = (d[e + 1] & 0x01) ? 7 : 9;
        if (frame_length > header) cut.frames.emplace_back(d.begin() + e + header, d.begin() + e + frame_length);
        if (!cut.first) {
            AdtsConfig config;
            config.profile = uint8_t(d[e + 2] >> 6);
            config.sampling_frequency_index = uint8_t((d[e + 2] >> 2) & 0x0F);
            config.channel_configuration = uint8_t(((d[e + 2] & 0x01) << 2) | (d[e + 3] >> 6));
            cut.first = config;
        }
        a = e + frame_length;
        e = a;
    }
    cut.consumed = a;
    return cut;
}

}  // namespace morvex
