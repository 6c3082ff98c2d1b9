#include "ts/psi.h"

#include <algorithm>

namespace morvex {
namespace {

constexpr uint8_t kPatTableId = 0x00;
constexpr uint8_t kPmtTableId = 0x02;


}  // namespace

std::optional<uint16_t> parse_pat(ByteSpan payload) {
    if (payload.empty()) return std::nullopt;
    const size_t p = payload[0];  // pointer_field
    if (p + 13 >= payload.size() || payload[p + 1] != kPatTableId) return std::nullopt;
    const size_t section_length = size_t(payload[p + 2] & 0x0F) << 8 | payload[p + 3];
    // The section header is 8 bytes; the programme loop follows up to the
    // CRC_32: program_number (16), reserved (3), program_map_PID (13).
    // program_number 0 names the network PID (DVB's NIT), not a programme.
    const size_t entries_end = std::min(payload.size(), p + 4 + section_length - std::min<size_t>(section_length, 4));
    for (size_t o = p + 9; o + 4 <= entries_end; o += 4) {
        const uint16_t program_number = uint16_t(payload[o] << 8 | payload[o + 1]);
        if (program_number == 0) continue;
        return uint16_t(((payload[o + 2] & 0x1F) << 8) | payload[o + 3]);
    }
    return std::nullopt;
}

std::vector<PmtEntry> parse_pmt(ByteSpan payload) {
    std::vector<PmtEntry> found;
    if (payload.empty()) return found;
    const size_t p = payload[0];
    if (p + 13 >= payload.size() || payload[p + 1] != kPmtTableId) return found;
    const size_t section_length = size_t(payload[p + 2] & 0x0F) << 8 | payload[p + 3];
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
        }
        found.push_back(e);
        o += 5 + es_info_length;
    }
    return found;
}

}  // namespace morvex
