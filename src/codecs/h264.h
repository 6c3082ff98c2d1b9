// H.264 elementary streams: NAL units of the Annex B byte stream (H.264
// B.1), NAL unit types (7.4.1, table 7-1) and the first slice header fields
// (7.3.3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/bytes.h"

namespace morvex::h264 {

enum NalType : uint8_t {
    kSliceNonIdr = 1,
    kSliceIdr = 5,
    kSei = 6,
    kSps = 7,
    kPps = 8,
    kAud = 9,
    kEndOfSequence = 10,
    kEndOfStream = 11,
    kFiller = 12,
    kSpsExtension = 13,
};

inline bool is_slice(uint8_t type) { return type >= 1 && type <= 5; }

// Length of the start code at `i` (4 for 00 00 00 01, tested first; 3 for
// 00 00 01), or 0 when none begins there.
inline size_t start_code_at(ByteSpan b, size_t i) {
    const size_t n = b.size();
    if (i + 3 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1) return 4;
    if (i + 2 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return 3;
    return 0;
}

// A NAL unit of an Annex B stream, by position in the stream.
struct Nal {
    uint64_t start;   // first byte of the start code
    uint64_t header;  // the NAL header byte
    uint64_t end;     // one past the last byte (where the next start code begins)
    uint8_t header_byte;
    uint8_t second_byte;  // the byte after the header (0 when there is none)

    uint8_t type() const { return header_byte & 0x1F; }
    uint64_t size() const { return end - header; }
    // first_mb_in_slice (the first ue(v) of the slice header) is 0 exactly
    // when the bit after the NAL header byte is 1: the slice starts a picture.
    bool starts_picture() const { return end > header + 1 && (second_byte & 0x80); }
};

// The NAL units of an Annex B stream that lies in pieces (one logical stream:
// the pieces one after the other), in order. Zero bytes before a start code
// other than its own stay in the preceding unit; a start code ends the unit
// before it even when no byte follows it.
std::vector<Nal> split_nal_units(std::span<const ByteSpan> pieces);
inline std::vector<Nal> split_nal_units(ByteSpan stream) { return split_nal_units(std::span<const ByteSpan>(&stream, 1)); }



}  // namespace morvex::h264
