#include "ts/pes.h"

namespace morvex {
namespace {

bool has_start_code(ByteSpan p) { return p.size() >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1; }

// A 33-bit timestamp in its 5-byte form: '001x' or '0011' prefix, 3 bits,
// marker, 15 bits, marker, 15 bits, marker. Markers are not checked.
uint64_t decode_timestamp(const uint8_t* b) {
    return (uint64_t((b[0] >> 1) & 0x07) << 30) | (uint64_t(b[1]) << 22) | (uint64_t(b[2] >> 1) << 15) |
           (uint64_t(b[3]) << 7) | (uint64_t(b[4]) >> 1);
}

}  // namespace

PesTimestamps extract_pes_timestamps(ByteSpan p) {
    PesTimestamps ts;
    // Fixed header: start code (3), stream_id, PES_packet_length (2), two flag
    // bytes, PES_header_data_length; then the optional fields.
    if (!has_start_code(p) || p.size() < 9 || size_t(p[8]) + 9 > p.size()) return ts;
    const uint8_t flags = p[7];
    const uint8_t header_length = p[8];
    if ((flags & 0x80) && header_length >= 5) ts.pts = decode_timestamp(&p[9]);
    if (flags >= 0xC0 && header_length >= 10) ts.dts = decode_timestamp(&p[14]);
    return ts;
}

std::optional<ByteSpan> pes_payload_after_header(ByteSpan p) {
    if (!has_start_code(p) || p.size() < 9) return std::nullopt;
    size_t header = size_t(p[8]) + 9;
    if (header >= p.size()) return std::nullopt;
    return p.subspan(header);
}

}  // namespace morvex
