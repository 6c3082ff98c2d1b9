// H.264 elementary streams: NAL units of the Annex B byte stream (H.264
// B.1), NAL unit types (7.4.1, table 7-1) and the first slice header fields
// (7.3.3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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

struct Nal {
    size_t start;   // first byte of the start code
    size_t header;  // the NAL header byte
    size_t end;     // one past the last byte (where the next start code begins)

    size_t size() const { return end - header; }
};

// The first NAL unit whose start code begins at or after `from`. Zero bytes
// before a start code other than its own stay in the preceding unit; a
// start code ends the unit before it even when no byte follows it.
std::optional<Nal> next_nal(ByteSpan b, size_t from);

inline uint8_t nal_type(ByteSpan b, const Nal& nal) { return b[nal.header] & 0x1F; }

// Calls `f(nal)` for each NAL unit of an Annex B run, in order.
template <typename F>
void for_each_nal(ByteSpan b, F&& f) {
    size_t pos = 0;
    while (auto nal = next_nal(b, pos)) {
        f(*nal);
        if (nal->end >= b.size()) break;
        pos = nal->end;
    }
}

// first_mb_in_slice (the first ue(v) of the slice header) is 0 exactly
// when the bit after the NAL header byte is 1: the slice starts a picture.
inline bool slice_starts_picture(ByteSpan nal_unit) { return nal_unit.size() > 1 && (nal_unit[1] & 0x80); }

}  // namespace morvex::h264
