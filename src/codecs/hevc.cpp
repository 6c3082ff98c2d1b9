#include "codecs/hevc.h"

namespace morvex::hevc {

std::optional<NalHeader> parse_nal_header(ByteSpan nal_unit) {
    if (nal_unit.size() < 2 || (nal_unit[0] & 0x80)) return std::nullopt;
    NalHeader h;
    h.type = nal_type_of(nal_unit[0]);
    h.layer_id = uint8_t(((nal_unit[0] & 0x01) << 5) | (nal_unit[1] >> 3));
    h.temporal_id_plus1 = nal_unit[1] & 0x07;
    if (h.temporal_id_plus1 == 0) return std::nullopt;
    return h;
}

bool starts_access_unit(ByteSpan nal_unit, bool after_vcl) {
    if (!after_vcl) return false;
    auto h = parse_nal_header(nal_unit);
    if (!h || h->layer_id != 0) return false;
    const uint8_t t = h->type;
    if (is_vcl(t)) return first_slice_segment_in_pic(nal_unit);
    return (t >= kVps && t <= kAud) || t == kPrefixSei || (t >= 41 && t <= 44) || (t >= 48 && t <= 55);
}

}  // namespace morvex::hevc
