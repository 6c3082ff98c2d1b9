// What H.264 says of a picture from the front of its slices: the picture
// parameter set fields the slice header depends on (7.3.2.2), the slice
// header up to its picture order count fields (7.3.3), and the picture
// order count of successive pictures (8.2.1), which gives the order in
// which they are shown.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/h264_sps.h"
#include "common/bytes.h"

namespace morvex::h264 {

struct Pps {
    uint32_t pps_id = 0;  // at most 255
    uint32_t sps_id = 0;  // at most 31
    bool bottom_field_pic_order_in_frame_present = false;
};

// Parses a PPS NAL unit (header byte first); empty when its ids are out of
// range or it ends before the fields above.
std::optional<Pps> parse_pps(ByteSpan nal_unit);

// The first three fields of a slice header, which need no parameter set.
struct SliceStart {
    uint32_t first_mb_in_slice = 0;
    uint32_t slice_type = 0;  // 0-9
    uint32_t pps_id = 0;      // 0-255
};

// Empty for a NAL unit that is not a slice (types 1 and 5) or whose fields
// are out of range.
std::optional<SliceStart> parse_slice_start(ByteSpan nal_unit);

struct SliceHeader {
    SliceStart start;
    bool idr = false;  // nal_unit_type 5
    uint8_t nal_ref_idc = 0;
    uint32_t frame_num = 0;
    bool field_pic = false;
    bool bottom_field = false;
    uint32_t pic_order_cnt_lsb = 0;
    int32_t delta_pic_order_cnt_bottom = 0;
    int32_t delta_pic_order_cnt[2] = {0, 0};
};

// The slice header of a slice NAL unit under its parameter sets (`pps`
// must be the one it names, `sps` the one that names). Empty when a field
// cannot be read or breaks a rule of 7.4.3 that every stream keeps: an IDR
// picture's slices are I or SI slices with frame_num 0, and an IDR picture
// is a reference picture.
std::optional<SliceHeader> parse_slice_header(ByteSpan nal_unit, const Sps& sps, const Pps& pps);

// The state 8.2.1 carries from picture to picture in decode order.
struct PocState {
    int64_t prev_msb = 0;  // type 0: of the previous reference picture
    uint32_t prev_lsb = 0;
    int64_t prev_frame_num_offset = 0;  // types 1 and 2
    uint32_t prev_frame_num = 0;
};

// The picture order count of the next picture in decode order (of a frame,
// the lesser of its two fields'), from its first slice's header. Memory
// management operation 5 is not looked at: streams that reset the count
// with it rather than with an IDR picture get the counts of 8.2.1 without
// the reset.
int64_t picture_order_count(PocState& state, const SliceHeader& h, const Sps& sps);

}  // namespace morvex::h264
