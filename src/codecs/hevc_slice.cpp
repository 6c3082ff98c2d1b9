#include "codecs/hevc_slice.h"

#include <algorithm>
#include <vector>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"
#include "codecs/hevc.h"

namespace morvex::hevc {
namespace {

// The RBSP of the first bytes of a NAL unit after its two-byte header.
struct Head {
    uint8_t bytes[64];
    size_t size;
    ByteSpan span() const { return ByteSpan(bytes, size); }
};

Head head_rbsp(ByteSpan nal_unit, size_t bytes) {
    Head h;
    h.size = annexb::unescape_rbsp(nal_unit.subspan(2), h.bytes, std::min(bytes, sizeof h.bytes));
    return h;
}

}  // namespace

std::optional<Pps> parse_pps(ByteSpan nal_unit) {
    if (nal_unit.size() < 3) return std::nullopt;
    const Head rbsp = head_rbsp(nal_unit, 16);
    BitReader r{rbsp.span()};
    auto pps_id = read_ue(r);
    auto sps_id = pps_id ? read_ue(r) : std::nullopt;
    auto dependent = sps_id ? r.bit() : std::nullopt;
    auto output = dependent ? r.bit() : std::nullopt;
    auto extra = output ? r.bits(3) : std::nullopt;
    // At most 64 PPS and 16 SPS ids (7.4.3.3.1).
    if (!extra || *pps_id > 63 || *sps_id > 15) return std::nullopt;
    return Pps{*pps_id, *sps_id, *dependent != 0, *output != 0, uint8_t(*extra)};
}

std::optional<uint32_t> slice_pps_id(ByteSpan nal_unit) {
    if (nal_unit.size() < 3) return std::nullopt;
    const Head rbsp = head_rbsp(nal_unit, 16);
    BitReader r{rbsp.span()};
    if (!r.bit()) return std::nullopt;  // first_slice_segment_in_pic_flag
    if (is_irap(nal_type_of(nal_unit[0])) && !r.bit()) return std::nullopt;  // no_output_of_prior_pics_flag
    return read_ue(r);
}

std::optional<uint32_t> slice_poc_lsb(ByteSpan nal_unit, const Sps& sps, const Pps& pps) {
    if (nal_unit.size() < 3 || sps.log2_max_poc_lsb == 0) return std::nullopt;
    const uint8_t type = nal_type_of(nal_unit[0]);
    if (type == kIdrWRadl || type == kIdrNLp) return 0u;
    const Head rbsp = head_rbsp(nal_unit, 48);
    BitReader r{rbsp.span()};
    auto first = r.bit();
    if (!first || !*first) return std::nullopt;  // only the first slice segment of a picture is read
    if (is_irap(type) && !r.bit()) return std::nullopt;
    if (!read_ue(r)) return std::nullopt;  // slice_pic_parameter_set_id
    if (pps.num_extra_slice_header_bits && !r.bits(pps.num_extra_slice_header_bits)) return std::nullopt;
    if (!read_ue(r)) return std::nullopt;  // slice_type
    if (pps.output_flag_present && !r.bit()) return std::nullopt;
    if (sps.separate_colour_plane && !r.bits(2)) return std::nullopt;
    return r.bits(sps.log2_max_poc_lsb);
}

int64_t picture_order_count(PocState& s, const Sps& sps, uint8_t type, uint8_t temporal_id, uint32_t lsb) {
    const int64_t max_lsb = int64_t(1) << std::max<uint8_t>(sps.log2_max_poc_lsb, 4);
    // IDR and BLA pictures, and a CRA picture that begins the stream, start
    // the count afresh (NoRaslOutputFlag).
    const bool fresh = type == kIdrWRadl || type == kIdrNLp || (type >= kBlaWLp && type <= kBlaNLp) ||
                       (is_irap(type) && !s.prev_tid0);
    int64_t msb = 0;
    if (!fresh && s.prev_tid0) {
        const int64_t prev = *s.prev_tid0;
        const int64_t prev_lsb = prev & (max_lsb - 1);
        const int64_t prev_msb = prev - prev_lsb;
        msb = prev_msb;
        if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) msb += max_lsb;
        else if (lsb > prev_lsb && int64_t(lsb) - prev_lsb > max_lsb / 2) msb -= max_lsb;
    }
    const int64_t poc = msb + lsb;
    // Sub-layer non-reference pictures have the even types up to 14.
    const bool sub_layer_non_reference = type <= 14 && type % 2 == 0;
    const bool leading = type >= kRadlN && type <= kRaslR;
    if (temporal_id == 0 && !leading && !sub_layer_non_reference) s.prev_tid0 = poc;
    return poc;
}

}  // namespace morvex::hevc
