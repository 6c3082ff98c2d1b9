#include "ts/psi.h"

#include <algorithm>

namespace morvex {
namespace {

constexpr uint8_t kPatTableId = 0x00;
constexpr uint8_t kPmtTableId = 0x02;

// CRC_32 of H.222.0 Annex A: polynomial 0x04C11DB7, initial value all
// ones, no reflection; over a whole section, CRC included, it is 0.
uint32_t crc32_mpeg(ByteSpan data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : data) {
        crc ^= uint32_t(b) << 24;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

// The section at payload[p + 1]: its length, and whether it is usable (a
// section that lies whole in the payload must pass its CRC, and must be the
// table in force, current_next_indicator 1).
bool section_usable(ByteSpan payload, size_t p, size_t section_length) {
    if (!(payload[p + 6] & 0x01)) return false;
    const size_t end = p + 4 + section_length;
    if (end > payload.size()) return true;  // continues in the next packet
    return crc32_mpeg(payload.subspan(p + 1, end - p - 1)) == 0;
}

}  // namespace

std::optional<std::vector<PatEntry>> parse_pat(ByteSpan payload) {
    if (payload.empty()) return std::nullopt;
    const size_t p = payload[0];  // pointer_field
    if (p + 13 >= payload.size() || payload[p + 1] != kPatTableId) return std::nullopt;
    const size_t section_length = size_t(payload[p + 2] & 0x0F) << 8 | payload[p + 3];
    if (!section_usable(payload, p, section_length)) return std::nullopt;
    // The section header is 8 bytes; the programme loop follows up to the
    // CRC_32: program_number (16), reserved (3), program_map_PID (13).
    const size_t entries_end = std::min(payload.size(), p + 4 + section_length - std::min<size_t>(section_length, 4));
    std::vector<PatEntry> out;
    for (size_t o = p + 9; o + 4 <= entries_end; o += 4) {
        const uint16_t program_number = uint16_t(payload[o] << 8 | payload[o + 1]);
        if (program_number == 0) continue;
        out.push_back(PatEntry{program_number, uint16_t(((payload[o + 2] & 0x1F) << 8) | payload[o + 3])});
    }
    return out;
}

std::optional<Pmt> parse_pmt(ByteSpan payload) {
    if (payload.empty()) return std::nullopt;
    const size_t p = payload[0];
    if (p + 13 >= payload.size() || payload[p + 1] != kPmtTableId) return std::nullopt;
    const size_t section_length = size_t(payload[p + 2] & 0x0F) << 8 | payload[p + 3];
    if (!section_usable(payload, p, section_length)) return std::nullopt;
    Pmt pmt;
    pmt.program_number = uint16_t(payload[p + 4] << 8 | payload[p + 5]);
    pmt.version = uint8_t((payload[p + 6] >> 1) & 0x1F);
    const size_t program_info_length = size_t(payload[p + 11] & 0x0F) << 8 | payload[p + 12];
    // section_length counts the bytes after its own field (payload offset
    // p + 4) up to and including the 4-byte CRC_32; the entries end where
    // the CRC begins, or at the end of this packet's payload.
    const size_t entries_end = std::min(payload.size(), p + section_length);
    size_t o = p + 13 + program_info_length;
    while (o + 5 <= entries_end) {
        PmtEntry e;
        e.stream_type = payload[o];
        e.pid = uint16_t(((payload[o + 1] & 0x1F) << 8) | payload[o + 2]);
        const size_t es_info_length = size_t(payload[o + 3] & 0x0F) << 8 | payload[o + 4];
        // Descriptors: tag, length, body.
        const size_t info_end = std::min(entries_end, o + 5 + es_info_length);
        for (size_t d = o + 5; d + 2 <= info_end; d += 2 + payload[d + 1]) {
            const uint8_t tag = payload[d];
            e.ac3_descriptor |= tag == 0x6A;
            e.eac3_descriptor |= tag == 0x7A;
            e.teletext_or_subtitles |= tag == 0x56 || tag == 0x59 || tag == 0x46;
            if (tag == 0x0A && payload[d + 1] >= 3 && d + 5 <= info_end && !e.language[0])
                for (int k = 0; k < 3; ++k) e.language[k] = char(payload[d + 2 + k]);
        }
        pmt.streams.push_back(e);
        o += 5 + es_info_length;
    }
    return pmt;
}

}  // namespace morvex
