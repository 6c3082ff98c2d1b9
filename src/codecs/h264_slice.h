// What a container needs of H.264 pictures beyond the SPS: the first fields
// of the picture parameter set (7.3.2.2), the slice header up to the
// picture order count fields (7.3.3), and the picture order count itself
// (8.2.1), which orders the pictures for presentation.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/h264_sps.h"
#include "common/bytes.h"

namespace morvex::h264 {

struct Pps {
    uint32_t pps_id = 0;
    uint32_t sps_id = 0;
    bool bottom_field_pic_order_in_frame_present = false;
};

// Parses a PPS NAL unit (header byte first) as far as these fields.
std::optional<Pps> parse_pps(ByteSpan nal_unit);

// pic_parameter_set_id of a slice: the third ue(v) of its header.
std::optional<uint32_t> slice_pps_id(ByteSpan nal_unit);

struct SliceHeader {
    uint8_t nal_ref_idc = 0;
    bool idr = false;
    uint32_t frame_num = 0;
    bool field_pic = false;
    bool bottom_field = false;
    uint32_t poc_lsb = 0;
    int32_t delta_poc_bottom = 0;
    int32_t delta_poc[2] = {0, 0};
};

// The slice header of a slice NAL unit (header byte first; the first few
// dozen bytes are enough), read with its SPS and PPS.
std::optional<SliceHeader> parse_slice_header(ByteSpan nal_unit, const Sps& sps, const Pps& pps);

// The state of 8.2.1 carried from picture to picture: the previous
// reference picture's POC MSB and LSB (type 0), the previous FrameNumOffset
// and frame_num (types 1 and 2). Memory management control operation 5 is
// not read; a stream that uses it counts on from the picture before.
struct PocState {
    int64_t prev_msb = 0;
    uint32_t prev_lsb = 0;
    int64_t prev_frame_num_offset = 0;
    uint32_t prev_frame_num = 0;
};

// The picture order count of a picture (a frame's is the smaller of its two
// fields'), and the state after it.
int64_t picture_order_count(PocState& state, const Sps& sps, const SliceHeader& h);

}  // namespace morvex::h264
