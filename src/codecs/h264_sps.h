// The sequence parameter set of H.264 (7.3.2.1.1) as far as a container
// needs it: profile and level, the cropped picture size, the fields that
// slice headers and picture order counts depend on (7.3.3, 8.2.1), and the
// VUI timing.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace morvex::h264 {

struct Sps {
    uint8_t profile_idc = 0;
    uint8_t constraint_flags = 0;
    uint8_t level_idc = 0;
    uint32_t seq_parameter_set_id = 0;
    uint16_t width = 0;   // after cropping (7.4.2.1.1)
    uint16_t height = 0;
    bool frame_mbs_only = true;
    bool separate_colour_plane = false;
    uint8_t log2_max_frame_num = 4;
    uint8_t poc_type = 0;
    uint8_t log2_max_poc_lsb = 4;  // pic_order_cnt_type 0
    // pic_order_cnt_type 1
    bool delta_pic_order_always_zero = false;
    int32_t offset_for_non_ref_pic = 0;
    int32_t offset_for_top_to_bottom_field = 0;
    std::vector<int32_t> offsets_for_ref_frame;
    // VUI timing_info (E.1.1): one frame lasts 2 * num_units_in_tick ticks of
    // a time_scale clock.
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;

    // Frame duration on a 90 kHz clock, when the VUI gives a usable one.
    std::optional<uint32_t> frame_duration_90k() const;
};

// Parses an SPS NAL unit (header byte first). Emulation-prevention bytes are
// removed first. Empty when the SPS is too short or a field cannot be read;
// a VUI that cannot be read leaves the timing at 0.
std::optional<Sps> parse_sps(ByteSpan nal_unit);

// seq_parameter_set_id of an SPS, or pic_parameter_set_id of a PPS: the
// first ue(v) of its RBSP (after profile, constraints and level in an SPS).
std::optional<uint32_t> parameter_set_id(ByteSpan nal_unit);

}  // namespace morvex::h264
