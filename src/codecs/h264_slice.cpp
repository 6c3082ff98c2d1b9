#include "codecs/h264_slice.h"

#include <algorithm>
#include <vector>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"
#include "codecs/h264.h"

namespace morvex::h264 {
namespace {

int64_t wrapping_add(int64_t a, int64_t b) { return int64_t(uint64_t(a) + uint64_t(b)); }

// The RBSP of the first bytes of a NAL unit after its header byte: enough
// for any header these readers look at.
struct Head {
    uint8_t bytes[64];
    size_t size;
    ByteSpan span() const { return ByteSpan(bytes, size); }
};

Head head_rbsp(ByteSpan nal_unit, size_t bytes) {
    Head h;
    h.size = annexb::unescape_rbsp(nal_unit.subspan(1), h.bytes, std::min(bytes, sizeof h.bytes));
    return h;
}

}  // namespace

std::optional<Pps> parse_pps(ByteSpan nal_unit) {
    if (nal_unit.size() < 2) return std::nullopt;
    const Head rbsp = head_rbsp(nal_unit, 16);
    BitReader r{rbsp.span()};
    auto pps_id = read_ue(r);
    auto sps_id = pps_id ? read_ue(r) : std::nullopt;
    auto entropy = sps_id ? r.bit() : std::nullopt;  // entropy_coding_mode_flag
    auto bottom = entropy ? r.bit() : std::nullopt;
    // At most 256 PPS and 32 SPS ids (7.4.2.2).
    if (!bottom || *pps_id > 255 || *sps_id > 31) return std::nullopt;
    return Pps{*pps_id, *sps_id, *bottom != 0};
}

std::optional<uint32_t> slice_pps_id(ByteSpan nal_unit) {
    if (nal_unit.size() < 2) return std::nullopt;
    const Head rbsp = head_rbsp(nal_unit, 16);
    BitReader r{rbsp.span()};
    if (!read_ue(r) || !read_ue(r)) return std::nullopt;  // first_mb_in_slice, slice_type
    return read_ue(r);
}

std::optional<SliceHeader> parse_slice_header(ByteSpan nal_unit, const Sps& sps, const Pps& pps) {
    if (nal_unit.size() < 2) return std::nullopt;
    SliceHeader h;
    h.nal_ref_idc = uint8_t((nal_unit[0] >> 5) & 3);
    h.idr = (nal_unit[0] & 0x1F) == kSliceIdr;
    const Head rbsp = head_rbsp(nal_unit, 48);
    BitReader r{rbsp.span()};
    if (!read_ue(r) || !read_ue(r) || !read_ue(r)) return std::nullopt;  // first_mb, slice_type, pps_id
    if (sps.separate_colour_plane && !r.bits(2)) return std::nullopt;  // colour_plane_id
    auto frame_num = r.bits(sps.log2_max_frame_num);
    if (!frame_num) return std::nullopt;
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
    if (h.idr && !read_ue(r)) return std::nullopt;  // idr_pic_id
    const bool bottom_delta = pps.bottom_field_pic_order_in_frame_present && !h.field_pic;
    if (sps.poc_type == 0) {
        auto lsb = r.bits(sps.log2_max_poc_lsb);
        if (!lsb) return std::nullopt;
        h.poc_lsb = *lsb;
        if (bottom_delta) {
            auto d = read_se(r);
            if (!d) return std::nullopt;
            h.delta_poc_bottom = *d;
        }
    } else if (sps.poc_type == 1 && !sps.delta_pic_order_always_zero) {
        auto d0 = read_se(r);
        if (!d0) return std::nullopt;
        h.delta_poc[0] = *d0;
        if (bottom_delta) {
            auto d1 = read_se(r);
            if (!d1) return std::nullopt;
            h.delta_poc[1] = *d1;
        }
    }
    return h;
}

int64_t picture_order_count(PocState& s, const Sps& sps, const SliceHeader& h) {
    int64_t top = 0, bottom = 0;
    if (sps.poc_type == 0) {
        // 8.2.1.1: the MSB follows the LSB's wraps from the previous
        // reference picture's.
        if (h.idr) s.prev_msb = 0, s.prev_lsb = 0;
        const int64_t max_lsb = int64_t(1) << sps.log2_max_poc_lsb;
        int64_t msb = s.prev_msb;
        if (h.poc_lsb < s.prev_lsb && int64_t(s.prev_lsb) - h.poc_lsb >= max_lsb / 2) msb += max_lsb;
        else if (h.poc_lsb > s.prev_lsb && int64_t(h.poc_lsb) - s.prev_lsb > max_lsb / 2) msb -= max_lsb;
        top = msb + h.poc_lsb;
        bottom = h.field_pic ? top : wrapping_add(top, h.delta_poc_bottom);
        if (h.nal_ref_idc != 0) s.prev_msb = msb, s.prev_lsb = h.poc_lsb;
    } else {
        // 8.2.1.2 and 8.2.1.3: counted from frame_num, whose wraps
        // FrameNumOffset follows.
        const int64_t max_frame_num = int64_t(1) << sps.log2_max_frame_num;
        int64_t offset = 0;
        if (!h.idr) offset = s.prev_frame_num_offset + (s.prev_frame_num > h.frame_num ? max_frame_num : 0);
        s.prev_frame_num_offset = offset;
        s.prev_frame_num = h.frame_num;
        if (sps.poc_type == 2) {
            int64_t t = 0;
            if (!h.idr) t = 2 * (offset + h.frame_num) - (h.nal_ref_idc == 0 ? 1 : 0);
            top = bottom = t;
        } else {
            const auto& cycle = sps.offsets_for_ref_frame;
            int64_t abs_frame_num = cycle.empty() ? 0 : offset + h.frame_num;
            if (h.nal_ref_idc == 0 && abs_frame_num > 0) --abs_frame_num;
            // Counted modulo 2^64: a stream's offsets may claim any sums.
            uint64_t count = 0;
            if (abs_frame_num > 0) {
                uint64_t per_cycle = 0;
                for (int32_t o : cycle) per_cycle += uint64_t(int64_t(o));
                const int64_t n = int64_t(cycle.size());
                count = uint64_t((abs_frame_num - 1) / n) * per_cycle;
                for (int64_t i = 0; i <= (abs_frame_num - 1) % n; ++i) count += uint64_t(int64_t(cycle[size_t(i)]));
            }
            if (h.nal_ref_idc == 0) count += uint64_t(int64_t(sps.offset_for_non_ref_pic));
            const int64_t expected = int64_t(count);
            top = wrapping_add(expected, h.delta_poc[0]);
            if (!h.field_pic) bottom = wrapping_add(top, int64_t(sps.offset_for_top_to_bottom_field) + h.delta_poc[1]);
            else bottom = wrapping_add(expected, int64_t(sps.offset_for_top_to_bottom_field) + h.delta_poc[0]);
        }
    }
    if (!h.field_pic) return std::min(top, bottom);
    return h.bottom_field ? bottom : top;
}

}  // namespace morvex::h264
