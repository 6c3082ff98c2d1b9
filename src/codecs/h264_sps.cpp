#include "codecs/h264_sps.h"

#include <algorithm>
#include <vector>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"

namespace morvex::h264 {
namespace {

// scaling_list() of 7.3.2.1.1.1: only whether nextScale reaches 0 matters,
// since it ends the delta_scale reads.
bool skip_scaling_list(BitReader& r, int size) {
    int last_scale = 8;
    int next_scale = 8;
    for (int j = 0; j < size; ++j) {
        if (next_scale != 0) {
            auto delta = read_se(r);
            if (!delta) return false;
            next_scale = int((last_scale + int64_t(*delta) + 256) % 256);
        }
        if (next_scale != 0) last_scale = next_scale;
    }
    return true;
}

bool has_chroma_fields(uint8_t profile_idc) {
    switch (profile_idc) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
        case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

// vui_parameters() (E.1.1) up to timing_info.
void read_vui_timing(BitReader& r, Sps& sps) {
    auto present = r.bit();
    if (!present || !*present) return;
    auto aspect = r.bit();
    if (!aspect) return;
    if (*aspect) {
        auto idc = r.bits(8);
        if (!idc) return;
        if (*idc == 255 && !r.bits(32)) return;  // sar_width, sar_height
    }
    auto overscan = r.bit();
    if (!overscan || (*overscan && !r.bit())) return;
    auto signal = r.bit();
    if (!signal) return;
    if (*signal) {
        if (!r.bits(4)) return;  // video_format, video_full_range_flag
        auto colour = r.bit();
        if (!colour || (*colour && !r.bits(24))) return;
    }
    auto chroma_loc = r.bit();
    if (!chroma_loc || (*chroma_loc && (!read_ue(r) || !read_ue(r)))) return;
    auto timing = r.bit();
    if (!timing || !*timing) return;
    auto units = r.bits(32);
    auto scale = units ? r.bits(32) : std::nullopt;
    if (!scale) return;
    sps.num_units_in_tick = *units;
    sps.time_scale = *scale;
}

}  // namespace

std::optional<uint32_t> Sps::frame_duration_90k() const {
    if (num_units_in_tick == 0 || time_scale == 0) return std::nullopt;
    const uint64_t d = (uint64_t(num_units_in_tick) * 2 * 90000 + time_scale / 2) / time_scale;
    // Between 1000 and 1 frame a second.
    if (d < 90 || d > 90000) return std::nullopt;
    return uint32_t(d);
}

std::optional<uint32_t> parameter_set_id(ByteSpan nal_unit) {
    if (nal_unit.empty()) return std::nullopt;
    const size_t skip = (nal_unit[0] & 0x1F) == 7 ? 4 : 1;
    if (nal_unit.size() <= skip) return std::nullopt;
    // Enough bytes for any ue(v) of 32 bits; escapes are removed first.
    const std::vector<uint8_t> rbsp = annexb::unescape_rbsp(nal_unit.subspan(0, std::min<size_t>(nal_unit.size(), skip + 12)));
    if (rbsp.size() <= skip) return std::nullopt;
    BitReader r{ByteSpan(rbsp).subspan(skip)};
    return read_ue(r);
}

std::optional<Sps> parse_sps(ByteSpan nal_unit) {
    if (nal_unit.size() < 4) return std::nullopt;
    Sps sps;
    sps.profile_idc = nal_unit[1];
    sps.constraint_flags = nal_unit[2];
    sps.level_idc = nal_unit[3];
    const std::vector<uint8_t> rbsp = annexb::unescape_rbsp(nal_unit.subspan(4));
    BitReader r{ByteSpan(rbsp)};
    auto id = read_ue(r);
    if (!id) return std::nullopt;
    sps.seq_parameter_set_id = *id;
    uint32_t chroma_format_idc = 1;
    uint32_t separate_colour_plane = 0;
    if (has_chroma_fields(sps.profile_idc)) {
        auto cf = read_ue(r);
        if (!cf) return std::nullopt;
        chroma_format_idc = *cf;
        if (chroma_format_idc == 3) {
            auto s = r.bit();
            if (!s) return std::nullopt;
            separate_colour_plane = *s;
        }
        if (!read_ue(r) || !read_ue(r)) return std::nullopt;  // bit depths
        if (!r.bit()) return std::nullopt;                     // qpprime_y_zero_transform_bypass_flag
        auto matrix = r.bit();
        if (!matrix) return std::nullopt;
        if (*matrix) {
            const int lists = chroma_format_idc == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i) {
                auto present = r.bit();
                if (!present) return std::nullopt;
                if (*present && !skip_scaling_list(r, i < 6 ? 16 : 64)) return std::nullopt;
            }
        }
    }
    sps.separate_colour_plane = separate_colour_plane;
    auto frame_num_bits = read_ue(r);  // log2_max_frame_num_minus4, at most 12
    auto poc_type = frame_num_bits ? read_ue(r) : std::nullopt;
    if (!poc_type || *frame_num_bits > 12 || *poc_type > 2) return std::nullopt;
    sps.log2_max_frame_num = uint8_t(*frame_num_bits + 4);
    sps.poc_type = uint8_t(*poc_type);
    if (*poc_type == 0) {
        auto lsb_bits = read_ue(r);  // log2_max_pic_order_cnt_lsb_minus4, at most 12
        if (!lsb_bits || *lsb_bits > 12) return std::nullopt;
        sps.log2_max_poc_lsb = uint8_t(*lsb_bits + 4);
    } else if (*poc_type == 1) {
        auto always_zero = r.bit();
        auto non_ref = always_zero ? read_se(r) : std::nullopt;
        auto top_to_bottom = non_ref ? read_se(r) : std::nullopt;
        auto cycle = top_to_bottom ? read_ue(r) : std::nullopt;
        // num_ref_frames_in_pic_order_cnt_cycle is at most 255.
        if (!cycle || *cycle > 255) return std::nullopt;
        sps.delta_pic_order_always_zero = *always_zero;
        sps.offset_for_non_ref_pic = *non_ref;
        sps.offset_for_top_to_bottom_field = *top_to_bottom;
        for (uint32_t i = 0; i < *cycle; ++i) {
            auto offset = read_se(r);
            if (!offset) return std::nullopt;
            sps.offsets_for_ref_frame.push_back(*offset);
        }
    }
    if (!read_ue(r) || !r.bit()) return std::nullopt;  // max_num_ref_frames, gaps flag
    auto w = read_ue(r);
    auto h = w ? read_ue(r) : std::nullopt;
    if (!h) return std::nullopt;
    auto frame_mbs_only = r.bit();
    if (!frame_mbs_only) return std::nullopt;
    sps.frame_mbs_only = *frame_mbs_only;
    if (*frame_mbs_only == 0 && !r.bit()) return std::nullopt;  // mb_adaptive_frame_field_flag
    if (!r.bit()) return std::nullopt;                          // direct_8x8_inference_flag
    auto cropping = r.bit();
    if (!cropping) return std::nullopt;
    uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    if (*cropping) {
        for (auto& c : crop) {
            auto v = read_ue(r);
            if (!v) return std::nullopt;
            c = *v;
        }
    }
    // Crop units of 7.4.2.1.1: SubWidthC and SubHeightC of the chroma
    // format, and twice the height unit for field-coded (frame_mbs_only 0)
    // streams; monochrome and separate colour planes use 1.
    const uint32_t field_factor = 2 - *frame_mbs_only;
    uint32_t unit_x = 1;
    uint32_t unit_y = field_factor;
    if (chroma_format_idc != 0 && separate_colour_plane == 0) {
        const uint32_t sub_width = chroma_format_idc == 3 ? 1 : 2;
        const uint32_t sub_height = chroma_format_idc == 1 ? 2 : 1;
        unit_x = sub_width;
        unit_y = sub_height * field_factor;
    }
    const uint64_t width = (uint64_t(*w) + 1) * 16 - uint64_t(unit_x) * (uint64_t(crop[0]) + crop[1]);
    const uint64_t height =
        uint64_t(field_factor) * (uint64_t(*h) + 1) * 16 - uint64_t(unit_y) * (uint64_t(crop[2]) + crop[3]);
    sps.width = uint16_t(width);
    sps.height = uint16_t(height);
    read_vui_timing(r, sps);
    return sps;
}

}  // namespace morvex::h264
