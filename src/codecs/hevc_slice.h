// What a container needs of H.265 pictures beyond the SPS: the first fields
// of the picture parameter set (7.3.2.3.1), slice_pic_order_cnt_lsb in the
// slice segment header (7.3.6.1), and the picture order count (8.3.1),
// which orders the pictures for presentation.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/hevc_sps.h"
#include "common/bytes.h"

namespace morvex::hevc {

struct Pps {
    uint32_t pps_id = 0;
    uint32_t sps_id = 0;
    bool dependent_slice_segments_enabled = false;
    bool output_flag_present = false;
    uint8_t num_extra_slice_header_bits = 0;
};

// Parses a PPS NAL unit (two-byte header first) as far as these fields.
std::optional<Pps> parse_pps(ByteSpan nal_unit);

// slice_pic_parameter_set_id of the first slice segment of a picture.
std::optional<uint32_t> slice_pps_id(ByteSpan nal_unit);

// slice_pic_order_cnt_lsb of the first slice segment of a picture (0 for an
// IDR picture, which has none), read with its SPS and PPS.
std::optional<uint32_t> slice_poc_lsb(ByteSpan nal_unit, const Sps& sps, const Pps& pps);

// The state of 8.3.1: the POC of the previous picture of temporal sub-layer
// 0 that is not a RASL, RADL or sub-layer non-reference picture.
struct PocState {
    std::optional<int64_t> prev_tid0;  // none before the first picture, and after an end of sequence
};

// The picture order count of a picture with NAL unit type `type` and
// TemporalId `temporal_id`, and the state after it.
int64_t picture_order_count(PocState& state, const Sps& sps, uint8_t type, uint8_t temporal_id, uint32_t lsb);

}  // namespace morvex::hevc
