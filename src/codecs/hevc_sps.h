// The video and sequence parameter sets of H.265 (7.3.2.1, 7.3.2.2) as far
// as a container needs them: profile, tier and level (7.3.3), the sub-layer
// count, chroma format and bit depths, the picture size after the
// conformance window, and the VUI timing (E.2.1).
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex::hevc {

// The general part of profile_tier_level(); the sub-layer parts are read
// past but not kept.
struct ProfileTierLevel {
    uint8_t profile_space = 0;
    bool tier = false;
    uint8_t profile_idc = 0;
    uint32_t compatibility_flags = 0;  // general_profile_compatibility_flag[0] is the top bit
    uint64_t constraint_flags = 0;     // the 48 bits from general_progressive_source_flag on
    uint8_t level_idc = 0;
};

struct Vps {
    uint8_t vps_id = 0;
    uint8_t max_sub_layers = 1;  // vps_max_sub_layers_minus1 + 1
    bool temporal_id_nesting = false;
    ProfileTierLevel ptl;
};

struct Sps {
    uint8_t vps_id = 0;
    uint8_t max_sub_layers = 1;  // sps_max_sub_layers_minus1 + 1
    bool temporal_id_nesting = false;
    ProfileTierLevel ptl;
    uint32_t sps_id = 0;
    uint8_t chroma_format_idc = 1;
    bool separate_colour_plane = false;
    uint32_t coded_width = 0;  // pic_width_in_luma_samples
    uint32_t coded_height = 0;
    uint16_t width = 0;  // inside the conformance window
    uint16_t height = 0;
    uint8_t bit_depth_luma = 8;
    uint8_t bit_depth_chroma = 8;
    // log2_max_pic_order_cnt_lsb_minus4 + 4; 0 when it cannot be read.
    uint8_t log2_max_poc_lsb = 0;
    // vui_timing_info: one picture lasts num_units_in_tick ticks of a
    // time_scale clock. 0 when absent or when the VUI cannot be reached.
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;

    // Picture duration on a 90 kHz clock, when the VUI gives a usable one.
    std::optional<uint32_t> frame_duration_90k() const;
};

// Parse a VPS or SPS NAL unit (two-byte header first). Emulation-prevention
// bytes are removed first. Empty when the NAL unit is of another type, or
// when it ends before the picture size and bit depths (SPS) or the general
// profile_tier_level (VPS). An SPS whose later fields cannot be read keeps
// its timing at 0.
std::optional<Vps> parse_vps(ByteSpan nal_unit);
std::optional<Sps> parse_sps(ByteSpan nal_unit);

}  // namespace morvex::hevc
