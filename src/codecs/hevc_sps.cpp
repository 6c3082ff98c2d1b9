#include "codecs/hevc_sps.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"
#include "codecs/hevc.h"

namespace morvex::hevc {
namespace {

bool skip_bits(BitReader& r, unsigned n) {
    while (n > 0) {
        const unsigned step = std::min(n, 32u);
        if (!r.bits(step)) return false;
        n -= step;
    }
    return true;
}

bool skip_ue(BitReader& r, unsigned count = 1) {
    for (unsigned i = 0; i < count; ++i)
        if (!read_ue(r)) return false;
    return true;
}

// profile_tier_level(1, max_sub_layers_minus1) of 7.3.3.
bool read_profile_tier_level(BitReader& r, unsigned max_sub_layers_minus1, ProfileTierLevel& ptl) {
    auto first = r.bits(8);
    auto compat = first ? r.bits(32) : std::nullopt;
    auto constraint_hi = compat ? r.bits(16) : std::nullopt;
    auto constraint_lo = constraint_hi ? r.bits(32) : std::nullopt;
    auto level = constraint_lo ? r.bits(8) : std::nullopt;
    if (!level) return false;
    ptl.profile_space = uint8_t(*first >> 6);
    ptl.tier = (*first >> 5) & 1;
    ptl.profile_idc = uint8_t(*first & 0x1F);
    ptl.compatibility_flags = *compat;
    ptl.constraint_flags = (uint64_t(*constraint_hi) << 32) | *constraint_lo;
    ptl.level_idc = uint8_t(*level);

    std::array<bool, 8> profile_present{}, level_present{};
    for (unsigned i = 0; i < max_sub_layers_minus1; ++i) {
        auto p = r.bit();
        auto l = p ? r.bit() : std::nullopt;
        if (!l) return false;
        profile_present[i] = *p;
        level_present[i] = *l;
    }
    // reserved_zero_2bits up to eight sub-layers.
    if (max_sub_layers_minus1 > 0 && !skip_bits(r, 2 * (8 - max_sub_layers_minus1))) return false;
    for (unsigned i = 0; i < max_sub_layers_minus1; ++i) {
        // Profile space to constraint bits: 2 + 1 + 5 + 32 + 48 bits.
        if (profile_present[i] && !skip_bits(r, 88)) return false;
        if (level_present[i] && !skip_bits(r, 8)) return false;
    }
    return true;
}

// scaling_list_data() of 7.3.4.
bool skip_scaling_list_data(BitReader& r) {
    for (unsigned size_id = 0; size_id < 4; ++size_id) {
        for (unsigned matrix_id = 0; matrix_id < 6; matrix_id += size_id == 3 ? 3 : 1) {
            auto pred_mode = r.bit();
            if (!pred_mode) return false;
            if (!*pred_mode) {
                if (!skip_ue(r)) return false;  // scaling_list_pred_matrix_id_delta
                continue;
            }
            const unsigned coefs = std::min(64u, 1u << (4 + (size_id << 1)));
            if (size_id > 1 && !read_se(r)) return false;  // scaling_list_dc_coef_minus8
            for (unsigned i = 0; i < coefs; ++i)
                if (!read_se(r)) return false;
        }
    }
    return true;
}

// The delta POCs of one st_ref_pic_set() (7.3.7, 7.4.8): a set predicted
// from the one before it needs that set's pictures.
struct RefPicSet {
    std::vector<int32_t> negative;  // DeltaPocS0, nearest first
    std::vector<int32_t> positive;  // DeltaPocS1
    size_t count() const { return negative.size() + positive.size(); }
};

bool read_st_ref_pic_set(BitReader& r, unsigned index, const std::vector<RefPicSet>& before, RefPicSet& set) {
    bool predicted = false;
    if (index != 0) {
        auto f = r.bit();
        if (!f) return false;
        predicted = *f;
    }
    if (predicted) {
        // In an SPS the reference set is always the one before (no delta_idx).
        const RefPicSet& ref = before[index - 1];
        auto sign = r.bit();
        auto abs_minus1 = sign ? read_ue(r) : std::nullopt;
        if (!abs_minus1) return false;
        const int64_t delta_rps = (*sign ? -1 : 1) * (int64_t(*abs_minus1) + 1);
        // Per ref picture j (negatives, then positives, then the reference
        // picture itself): used_by_curr_pic_flag, then use_delta_flag when
        // that is 0 (inferred 1 otherwise).
        const size_t n = ref.count();
        std::vector<bool> use(n + 1);
        for (size_t j = 0; j <= n; ++j) {
            auto used = r.bit();
            if (!used) return false;
            bool u = true;
            if (!*used) {
                auto d = r.bit();
                if (!d) return false;
                u = *d;
            }
            use[j] = u;
        }
        const size_t neg = ref.negative.size();
        auto ref_delta = [&](size_t j) -> int64_t { return j < neg ? ref.negative[j] : ref.positive[j - neg]; };
        // Equations 7-61 and 7-62: the new set, each side nearest first.
        for (size_t k = ref.positive.size(); k-- > 0;) {
            const int64_t d = ref.positive[k] + delta_rps;
            if (d < 0 && use[neg + k]) set.negative.push_back(int32_t(d));
        }
        if (delta_rps < 0 && use[n]) set.negative.push_back(int32_t(delta_rps));
        for (size_t k = 0; k < neg; ++k) {
            const int64_t d = ref.negative[k] + delta_rps;
            if (d < 0 && use[k]) set.negative.push_back(int32_t(d));
        }
        for (size_t k = neg; k-- > 0;) {
            const int64_t d = ref.negative[k] + delta_rps;
            if (d > 0 && use[k]) set.positive.push_back(int32_t(d));
        }
        if (delta_rps > 0 && use[n]) set.positive.push_back(int32_t(delta_rps));
        for (size_t k = 0; k < ref.positive.size(); ++k) {
            const int64_t d = ref_delta(neg + k) + delta_rps;
            if (d > 0 && use[neg + k]) set.positive.push_back(int32_t(d));
        }
        return true;
    }
    auto num_negative = read_ue(r);
    auto num_positive = num_negative ? read_ue(r) : std::nullopt;
    // At most 16 pictures in a set (sps_max_dec_pic_buffering_minus1 < 16).
    if (!num_positive || *num_negative > 16 || *num_positive > 16) return false;
    int64_t poc = 0;
    for (uint32_t i = 0; i < *num_negative; ++i) {
        auto delta_minus1 = read_ue(r);
        if (!delta_minus1 || !r.bit()) return false;  // delta_poc_s0_minus1, used_by_curr_pic_s0_flag
        poc -= int64_t(*delta_minus1) + 1;
        set.negative.push_back(int32_t(poc));
    }
    poc = 0;
    for (uint32_t i = 0; i < *num_positive; ++i) {
        auto delta_minus1 = read_ue(r);
        if (!delta_minus1 || !r.bit()) return false;
        poc += int64_t(*delta_minus1) + 1;
        set.positive.push_back(int32_t(poc));
    }
    return true;
}

// The SPS from log2_max_pic_order_cnt_lsb_minus4 to the VUI timing.
void read_timing(BitReader& r, unsigned max_sub_layers_minus1, Sps& sps) {
    auto log2_max_poc_lsb_minus4 = read_ue(r);
    auto ordering_all = log2_max_poc_lsb_minus4 ? r.bit() : std::nullopt;
    // At most 12 (7.4.3.2.1).
    if (!ordering_all || *log2_max_poc_lsb_minus4 > 12) return;
    sps.log2_max_poc_lsb = uint8_t(*log2_max_poc_lsb_minus4 + 4);
    const unsigned orderings = *ordering_all ? max_sub_layers_minus1 + 1 : 1;
    // sps_max_dec_pic_buffering_minus1, sps_max_num_reorder_pics,
    // sps_max_latency_increase_plus1 per sub-layer; then the coding and
    // transform block sizes and the two transform hierarchy depths.
    if (!skip_ue(r, 3 * orderings) || !skip_ue(r, 6)) return;
    auto scaling = r.bit();
    if (!scaling) return;
    if (*scaling) {
        auto data = r.bit();
        if (!data || (*data && !skip_scaling_list_data(r))) return;
    }
    if (!r.bits(2)) return;  // amp_enabled_flag, sample_adaptive_offset_enabled_flag
    auto pcm = r.bit();
    if (!pcm) return;
    // Bit depths (4 + 4), block sizes (two ue), pcm_loop_filter_disabled_flag.
    if (*pcm && (!r.bits(8) || !skip_ue(r, 2) || !r.bit())) return;
    auto num_sets = read_ue(r);
    if (!num_sets || *num_sets > 64) return;
    std::vector<RefPicSet> sets(*num_sets);
    for (uint32_t i = 0; i < *num_sets; ++i)
        if (!read_st_ref_pic_set(r, i, sets, sets[i])) return;
    auto long_term = r.bit();
    if (!long_term) return;
    if (*long_term) {
        auto count = read_ue(r);
        if (!count || *count > 32) return;
        // lt_ref_pic_poc_lsb_sps (u(v) of log2_max_pic_order_cnt_lsb bits)
        // and used_by_curr_pic_lt_sps_flag.
        for (uint32_t i = 0; i < *count; ++i)
            if (!skip_bits(r, *log2_max_poc_lsb_minus4 + 4 + 1)) return;
    }
    // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag.
    if (!r.bits(2)) return;
    auto vui = r.bit();
    if (!vui || !*vui) return;

    // vui_parameters() of E.2.1 up to vui_timing_info.
    auto aspect = r.bit();
    if (!aspect) return;
    if (*aspect) {
        auto idc = r.bits(8);
        if (!idc || (*idc == 255 && !r.bits(32))) return;  // sar_width, sar_height
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
    if (!chroma_loc || (*chroma_loc && !skip_ue(r, 2))) return;
    // neutral_chroma_indication_flag, field_seq_flag, frame_field_info_present_flag.
    if (!r.bits(3)) return;
    auto window = r.bit();
    if (!window || (*window && !skip_ue(r, 4))) return;
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
    const uint64_t d = (uint64_t(num_units_in_tick) * 90000 + time_scale / 2) / time_scale;
    // Between 1000 and 1 picture a second.
    if (d < 90 || d > 90000) return std::nullopt;
    return uint32_t(d);
}

std::optional<Vps> parse_vps(ByteSpan nal_unit) {
    if (nal_unit.size() < 2 || nal_type_of(nal_unit[0]) != kVps) return std::nullopt;
    const std::vector<uint8_t> rbsp = annexb::unescape_rbsp(nal_unit.subspan(2));
    BitReader r{ByteSpan(rbsp)};
    // vps_video_parameter_set_id (4), vps_base_layer_internal_flag,
    // vps_base_layer_available_flag, vps_max_layers_minus1 (6),
    // vps_max_sub_layers_minus1 (3), vps_temporal_id_nesting_flag,
    // vps_reserved_0xffff_16bits.
    auto id = r.bits(4);
    auto layers = id ? r.bits(8) : std::nullopt;
    auto sub_layers_minus1 = layers ? r.bits(3) : std::nullopt;
    auto nesting = sub_layers_minus1 ? r.bit() : std::nullopt;
    if (!nesting || !r.bits(16)) return std::nullopt;
    Vps vps;
    vps.vps_id = uint8_t(*id);
    vps.max_sub_layers = uint8_t(*sub_layers_minus1 + 1);
    vps.temporal_id_nesting = *nesting;
    if (!read_profile_tier_level(r, *sub_layers_minus1, vps.ptl)) return std::nullopt;
    return vps;
}

std::optional<Sps> parse_sps(ByteSpan nal_unit) {
    if (nal_unit.size() < 2 || nal_type_of(nal_unit[0]) != kSps) return std::nullopt;
    const std::vector<uint8_t> rbsp = annexb::unescape_rbsp(nal_unit.subspan(2));
    BitReader r{ByteSpan(rbsp)};
    auto vps_id = r.bits(4);
    auto sub_layers_minus1 = vps_id ? r.bits(3) : std::nullopt;
    auto nesting = sub_layers_minus1 ? r.bit() : std::nullopt;
    // sps_max_sub_layers_minus1 is at most 6.
    if (!nesting || *sub_layers_minus1 > 6) return std::nullopt;
    Sps sps;
    sps.vps_id = uint8_t(*vps_id);
    sps.max_sub_layers = uint8_t(*sub_layers_minus1 + 1);
    sps.temporal_id_nesting = *nesting;
    if (!read_profile_tier_level(r, *sub_layers_minus1, sps.ptl)) return std::nullopt;
    auto sps_id = read_ue(r);
    auto chroma = sps_id ? read_ue(r) : std::nullopt;
    if (!chroma || *chroma > 3) return std::nullopt;
    sps.sps_id = *sps_id;
    sps.chroma_format_idc = uint8_t(*chroma);
    if (*chroma == 3) {
        auto separate = r.bit();
        if (!separate) return std::nullopt;
        sps.separate_colour_plane = *separate;
    }
    auto w = read_ue(r);
    auto h = w ? read_ue(r) : std::nullopt;
    auto window = h ? r.bit() : std::nullopt;
    if (!window) return std::nullopt;
    uint32_t win[4] = {0, 0, 0, 0};  // left, right, top, bottom offsets
    if (*window) {
        for (auto& v : win) {
            auto o = read_ue(r);
            if (!o) return std::nullopt;
            v = *o;
        }
    }
    auto depth_luma = read_ue(r);
    auto depth_chroma = depth_luma ? read_ue(r) : std::nullopt;
    // Bit depths up to 16 (bit_depth_*_minus8 at most 8).
    if (!depth_chroma || *depth_luma > 8 || *depth_chroma > 8) return std::nullopt;
    sps.coded_width = *w;
    sps.coded_height = *h;
    sps.bit_depth_luma = uint8_t(*depth_luma + 8);
    sps.bit_depth_chroma = uint8_t(*depth_chroma + 8);
    // Window offsets count chroma samples (SubWidthC, SubHeightC of table
    // 6-1); 1 for monochrome and separate colour planes.
    const bool subsampled = sps.chroma_format_idc != 0 && !sps.separate_colour_plane;
    const uint64_t unit_x = subsampled && sps.chroma_format_idc != 3 ? 2 : 1;
    const uint64_t unit_y = subsampled && sps.chroma_format_idc == 1 ? 2 : 1;
    const uint64_t crop_x = unit_x * (uint64_t(win[0]) + win[1]);
    const uint64_t crop_y = unit_y * (uint64_t(win[2]) + win[3]);
    sps.width = uint16_t(crop_x < *w ? *w - crop_x : 0);
    sps.height = uint16_t(crop_y < *h ? *h - crop_y : 0);
    read_timing(r, *sub_layers_minus1, sps);
    return sps;
}

}  // namespace morvex::hevc
