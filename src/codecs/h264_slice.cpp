#include "codecs/h264_slice.h"

#include <algorithm>
#include <array>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"
#include "codecs/h264.h"

namespace morvex::h264 {
namespace {

std::optional<SliceStart> read_slice_start(BitReader& r) {
    auto first_mb = read_ue(r);
    auto slice_type = first_mb ? read_ue(r) : std::nullopt;
    auto pps_id = slice_type ? read_ue(r) : std::nullopt;
    if (!pps_id || *slice_type > 9 || *pps_id > 255) return std::nullopt;
    return SliceStart{*first_mb, *slice_type, *pps_id};
}

// slice_type 2, 4, 7, 9: I and SI slices (table 7-6).
bool intra_slice(uint32_t slice_type) { return slice_type % 5 == 2 || slice_type % 5 == 4; }

}  // namespace

std::optional<Pps> parse_pps(ByteSpan nal_unit) {
    if (nal_unit.empty() || (nal_unit[0] & 0x1F) != kPps) return std::nullopt;
    const annexb::RbspFront rbsp = annexb::rbsp_front(nal_unit, 1);
    BitReader r{rbsp.view()};
    auto pps_id = read_ue(r);
    auto sps_id = pps_id ? read_ue(r) : std::nullopt;
    auto entropy = sps_id ? r.bit() : std::nullopt;
    auto bottom_field = entropy ? r.bit() : std::nullopt;
    if (!bottom_field || *pps_id > 255 || *sps_id > 31) return std::nullopt;
    return Pps{*pps_id, *sps_id, *bottom_field != 0};
}

std::optional<SliceStart> parse_slice_start(ByteSpan nal_unit) {
    if (nal_unit.empty()) return std::nullopt;
    const uint8_t type = nal_unit[0] & 0x1F;
    if (type != kSliceNonIdr && type != kSliceIdr) return std::nullopt;
    const annexb::RbspFront rbsp = annexb::rbsp_front(nal_unit, 1);
    BitReader r{rbsp.view()};
    return read_slice_start(r);
}

std::optional<SliceHeader> parse_slice_header(ByteSpan nal_unit, const Sps& sps, const Pps& pps) {
    if (nal_unit.empty()) return std::nullopt;
    const uint8_t type = nal_unit[0] & 0x1F;
    if (type != kSliceNonIdr && type != kSliceIdr) return std::nullopt;
    if (sps.log2_max_frame_num > 16 || sps.log2_max_poc_lsb > 16 || sps.pic_order_cnt_type > 2) return std::nullopt;
    const annexb::RbspFront rbsp = annexb::rbsp_front(nal_unit, 1);
    BitReader r{rbsp.view()};
    SliceHeader h;
    auto start = read_slice_start(r);
    if (!start || start->pps_id != pps.pps_id) return std::nullopt;
    h.start = *start;
    h.idr = type == kSliceIdr;
    h.nal_ref_idc = uint8_t((nal_unit[0] >> 5) & 3);
    if (h.idr && (h.nal_ref_idc == 0 || !intra_slice(h.start.slice_type))) return std::nullopt;
    if (sps.separate_colour_plane && !r.bits(2)) return std::nullopt;  // colour_plane_id
    auto frame_num = r.bits(sps.log2_max_frame_num);
    if (!frame_num || (h.idr && *frame_num != 0)) return std::nullopt;
    h.frame_num = *frame_num;
    if (!sps.frame_mbs_only) {
        auto field = r.bit();
        if (!field) return std::nullopt;
        h.field_pic = *field;
        if (h.field_pic) {
            auto bottom = r.bit();
            if (!bottom) return std::nullopt;
            h.bottom_field = *bottom;
        }
    }
    if (h.idr) {
        auto idr_pic_id = read_ue(r);
        if (!idr_pic_id || *idr_pic_id > 65535) return std::nullopt;
    }
    const bool bottom_delta = pps.bottom_field_pic_order_in_frame_present && !h.field_pic;
    if (sps.pic_order_cnt_type == 0) {
        auto lsb = r.bits(sps.log2_max_poc_lsb);
        if (!lsb) return std::nullopt;
        h.pic_order_cnt_lsb = *lsb;
        if (bottom_delta) {
            auto delta = read_se(r);
            if (!delta) return std::nullopt;
            h.delta_pic_order_cnt_bottom = *delta;
        }
    } else if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero) {
        auto d0 = read_se(r);
        if (!d0) return std::nullopt;
        h.delta_pic_order_cnt[0] = *d0;
        if (bottom_delta) {
            auto d1 = read_se(r);
            if (!d1) return std::nullopt;
            h.delta_pic_order_cnt[1] = *d1;
        }
    }
    return h;
}

int64_t picture_order_count(PocState& s, const SliceHeader& h, const Sps& sps) {
    const bool reference = h.nal_ref_idc != 0;
    if (sps.pic_order_cnt_type == 0) {
        if (h.idr) s.prev_msb = 0, s.prev_lsb = 0;
        const int64_t max_lsb = int64_t(1) << std::min<uint32_t>(sps.log2_max_poc_lsb, 16);
        const int64_t lsb = h.pic_order_cnt_lsb, prev = s.prev_lsb;
        int64_t msb = s.prev_msb;
        if (lsb < prev && prev - lsb >= max_lsb / 2) msb += max_lsb;
        else if (lsb > prev && lsb - prev > max_lsb / 2) msb -= max_lsb;
        if (reference) s.prev_msb = msb, s.prev_lsb = h.pic_order_cnt_lsb;
        const int64_t top = msb + lsb;
        if (h.field_pic) return top;  // of either field: msb + lsb
        return std::min(top, top + h.delta_pic_order_cnt_bottom);
    }
    // Types 1 and 2 count from frame_num, with the wraps of frame_num
    // added up in FrameNumOffset.
    const int64_t max_frame_num = int64_t(1) << std::min<uint32_t>(sps.log2_max_frame_num, 16);
    int64_t offset = 0;
    if (!h.idr) offset = s.prev_frame_num_offset + (s.prev_frame_num > h.frame_num ? max_frame_num : 0);
    s.prev_frame_num_offset = offset;
    s.prev_frame_num = h.frame_num;
    if (sps.pic_order_cnt_type == 2) {
        if (h.idr) return 0;
        return 2 * (offset + h.frame_num) - (reference ? 0 : 1);
    }
    const auto& cycle = sps.offset_for_ref_frame;
    int64_t abs_frame_num = cycle.empty() ? 0 : offset + h.frame_num;
    if (!reference && abs_frame_num > 0) --abs_frame_num;
    int64_t expected = 0;
    if (abs_frame_num > 0) {
        int64_t per_cycle = 0;
        for (int32_t d : cycle) per_cycle += d;
        const int64_t n = int64_t(cycle.size());
        const int64_t cycles = (abs_frame_num - 1) / n, in_cycle = (abs_frame_num - 1) % n;
        expected = cycles * per_cycle;
        for (int64_t i = 0; i <= in_cycle; ++i) expected += cycle[size_t(i)];
    }
    if (!reference) expected += sps.offset_for_non_ref_pic;
    const int64_t top = expected + h.delta_pic_order_cnt[0];
    if (h.field_pic)
        return h.bottom_field ? expected + sps.offset_for_top_to_bottom_field + h.delta_pic_order_cnt[0] : top;
    return std::min(top, top + sps.offset_for_top_to_bottom_field + h.delta_pic_order_cnt[1]);
}

}  // namespace morvex::h264
