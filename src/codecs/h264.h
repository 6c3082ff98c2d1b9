// H.264 elementary streams: NAL unit types (7.4.1, table 7-1) and the first
// slice header fields (7.3.3); the Annex B framing (B.1) is in
// codecs/annexb.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codecs/annexb.h"
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

// The Annex B framing is shared with H.265 (codecs/annexb.h).
using annexb::for_each_nal;
using annexb::Nal;
using annexb::next_nal;
using annexb::start_code_at;

inline uint8_t nal_type(ByteSpan b, const Nal& nal) { return b[nal.header] & 0x1F; }

// first_mb_in_slice (the first ue(v) of the slice header) is 0 exactly
// when the bit after the NAL header byte is 1: the slice starts a picture.
inline bool slice_starts_picture(ByteSpan nal_unit) { return nal_unit.size() > 1 && (nal_unit[1] & 0x80); }

}  // namespace morvex::h264
