#include "codecs/hevc_slice.h"

#include <array>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"
#include "codecs/hevc.h"

namespace morvex::hevc {
namespace {

// Slice segments of the types a stream may hold (table 7-1): the trailing,
// TSA, STSA, RADL and RASL types 0-9, and the IRAP types 16-21.
bool slice_type_nal(uint8_t type) { return type <= kRaslR || (type >= kBlaWLp && type <= kCraNut); }

// The first slice segment fields of 7.3.6.1: first_slice_segment_in_pic_flag,
// no_output_of_prior_pics_flag in an IRAP picture, slice_pic_parameter_set_id.
std::optional<SliceStart> read_slice_start(BitReader& r, uint8_t type) {
    auto first = r.bit();
    if (!first || (is_irap(type) && !r.bit())) return std::nullopt;
    auto pps_id = read_ue(r);
    if (!pps_id || *pps_id > 63) return std::nullopt;
    return SliceStart{*first != 0, *pps_id};
}

}  // namespace

std::optional<Pps> parse_pps(ByteSpan nal_unit) {
    if (nal_unit.size() < 2 || nal_type_of(nal_unit[0]) != kPps) return std::nullopt;
    const annexb::RbspFront rbsp = annexb::rbsp_front(nal_unit, 2);
    BitReader r{rbsp.view()};
    auto pps_id = read_ue(r);
    auto sps_id = pps_id ? read_ue(r) : std::nullopt;
    auto dependent = sps_id ? r.bit() : std::nullopt;
    auto output_flag = dependent ? r.bit() : std::nullopt;
    auto extra_bits = output_flag ? r.bits(3) : std::nullopt;
    if (!extra_bits || *pps_id > 63 || *sps_id > 15) return std::nullopt;
    return Pps{*pps_id, *sps_id, *dependent != 0, *output_flag != 0, uint8_t(*extra_bits)};
}

std::optional<SliceStart> parse_slice_start(ByteSpan nal_unit) {
    auto header = parse_nal_header(nal_unit);
    if (!header || !slice_type_nal(header->type)) return std::nullopt;
    const annexb::RbspFront rbsp = annexb::rbsp_front(nal_unit, 2);
    BitReader r{rbsp.view()};
    return read_slice_start(r, header->type);
}

std::optional<SliceHeader> parse_slice_header(ByteSpan nal_unit, const Sps& sps, const Pps& pps) {
    auto header = parse_nal_header(nal_unit);
    if (!header || !slice_type_nal(header->type)) return std::nullopt;
    if (sps.log2_max_poc_lsb < 4 || sps.log2_max_poc_lsb > 16) return std::nullopt;
    const annexb::RbspFront rbsp = annexb::rbsp_front(nal_unit, 2);
    BitReader r{rbsp.view()};
    auto start = read_slice_start(r, header->type);
    // Only a picture's first slice segment has these fields at these places.
    if (!start || !start->first_slice_segment_in_pic || start->pps_id != pps.pps_id) return std::nullopt;
    SliceHeader h;
    h.nal_type = header->type;
    h.temporal_id = uint8_t(header->temporal_id_plus1 - 1);
    if (pps.num_extra_slice_header_bits && !r.bits(pps.num_extra_slice_header_bits)) return std::nullopt;
    auto slice_type = read_ue(r);
    if (!slice_type || *slice_type > 2 || (is_irap(h.nal_type) && *slice_type != 2)) return std::nullopt;
    h.slice_type = *slice_type;
    if (pps.output_flag_present && !r.bit()) return std::nullopt;       // pic_output_flag
    if (sps.separate_colour_plane && !r.bits(2)) return std::nullopt;  // colour_plane_id
    if (h.nal_type != kIdrWRadl && h.nal_type != kIdrNLp) {
        auto lsb = r.bits(sps.log2_max_poc_lsb);
        if (!lsb) return std::nullopt;
        h.pic_order_cnt_lsb = *lsb;
    }
    return h;
}

bool resets_order_count(const PocState& s, uint8_t nal_type) {
    return is_irap(nal_type) && (nal_type != kCraNut || !s.started);
}

int64_t picture_order_count(PocState& s, const SliceHeader& h, const Sps& sps) {
    const int64_t max_lsb = int64_t(1) << sps.log2_max_poc_lsb;
    int64_t msb = 0;
    if (!resets_order_count(s, h.nal_type)) {
        const int64_t prev_lsb = s.prev_tid0_poc & (max_lsb - 1);
        const int64_t prev_msb = s.prev_tid0_poc - prev_lsb;
        const int64_t lsb = h.pic_order_cnt_lsb;
        msb = prev_msb;
        if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) msb += max_lsb;
        else if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) msb -= max_lsb;
    }
    const int64_t poc = msb + h.pic_order_cnt_lsb;
    s.started = true;
    // RADL, RASL and sub-layer non-reference pictures (the even types up
    // to 14) do not carry the count on.
    const bool sub_layer_non_reference = h.nal_type <= 14 && h.nal_type % 2 == 0;
    const bool leading = h.nal_type >= kRadlN && h.nal_type <= kRaslR;
    if (h.temporal_id == 0 && !leading && !sub_layer_non_reference) s.prev_tid0_poc = poc;
    return poc;
}

}  // namespace morvex::hevc
