// What H.265 says of a picture from the front of its slice segments: the
// picture parameter set fields the slice segment header depends on
// (7.3.2.3.1), the header of a picture's first slice segment up to
// slice_pic_order_cnt_lsb (7.3.6.1), and the picture order count of
// successive pictures (8.3.1), which gives the order in which they are
// shown.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/hevc_sps.h"
#include "common/bytes.h"

namespace morvex::hevc {

struct Pps {
    uint32_t pps_id = 0;  // at most 63
    uint32_t sps_id = 0;  // at most 15
    bool dependent_slice_segments_enabled = false;
    bool output_flag_present = false;
    uint8_t num_extra_slice_header_bits = 0;
};

// Parses a PPS NAL unit (two-byte header first); empty when its ids are
// out of range or it ends before the fields above.
std::optional<Pps> parse_pps(ByteSpan nal_unit);

// The fields before the parameter sets matter: whether the slice segment
// begins a picture, and the PPS it names.
struct SliceStart {
    bool first_slice_segment_in_pic = false;
    uint32_t pps_id = 0;
};

// Empty for a NAL unit that is not a slice segment (types 0-9, 16-21) or
// whose PPS id is out of range.
std::optional<SliceStart> parse_slice_start(ByteSpan nal_unit);

struct SliceHeader {
    uint8_t nal_type = 0;
    uint8_t temporal_id = 0;
    uint32_t slice_type = 0;  // 0 B, 1 P, 2 I
    uint32_t pic_order_cnt_lsb = 0;  // 0 for IDR pictures, which carry none
};

// The header of a picture's first slice segment under its parameter sets
// (`pps` the one it names, `sps` the one that names). Empty when a field
// cannot be read or breaks a rule of 7.4.7.1 that every stream keeps: an
// IRAP picture is made of I slices.
std::optional<SliceHeader> parse_slice_header(ByteSpan nal_unit, const Sps& sps, const Pps& pps);

// The state 8.3.1 carries from picture to picture in decode order.
struct PocState {
    bool started = false;       // a picture came before
    int64_t prev_tid0_poc = 0;  // of the previous TemporalId 0 picture that is not RASL, RADL or a sub-layer non-reference picture
};

// The picture order count of the next picture in decode order. An IRAP
// picture begins a new count (NoRaslOutputFlag 1) when it is an IDR or BLA
// picture, or the first picture; a CRA picture later in the stream goes
// on from the one before.
int64_t picture_order_count(PocState& state, const SliceHeader& h, const Sps& sps);

// Whether the picture begins a new count (see above).
bool resets_order_count(const PocState& state, uint8_t nal_type);

}  // namespace morvex::hevc
