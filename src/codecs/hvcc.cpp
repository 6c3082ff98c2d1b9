#include "codecs/hvcc.h"

#include "codecs/hevc.h"
#include "codecs/hevc_sps.h"
#include "common/byte_reader.h"
#include "common/messages.h"

namespace morvex {

Result<HevcConfig> parse_hevc_config(ByteSpan payload) {
    ByteReader r{payload};
    HevcConfig config;
    // configurationVersion to avgFrameRate: 21 bytes, then the byte with
    // constantFrameRate, numTemporalLayers, temporalIdNested and
    // lengthSizeMinusOne, then numOfArrays.
    auto length_byte = r.skip(21) ? r.u8() : std::nullopt;
    auto arrays = length_byte ? r.u8() : std::nullopt;
    if (!arrays) return invalid(msg::kInvalidHvcC);
    config.length_size = uint8_t((*length_byte & 0x03) + 1);
    for (uint8_t i = 0; i < *arrays; ++i) {
        auto type_byte = r.u8();  // array_completeness, reserved, NAL_unit_type
        auto count = type_byte ? r.u16() : std::nullopt;
        if (!count) return invalid(msg::kInvalidHvcC);
        const uint8_t type = *type_byte & 0x3F;
        std::vector<ByteSpan>* list = type == hevc::kVps   ? &config.vps
                                      : type == hevc::kSps ? &config.sps
                                      : type == hevc::kPps ? &config.pps
                                      : (type == hevc::kPrefixSei || type == hevc::kSuffixSei) ? &config.sei
                                                                                               : nullptr;
        for (uint16_t k = 0; k < *count; ++k) {
            auto length = r.u16();
            auto unit = length ? r.bytes(*length) : std::nullopt;
            if (!unit) return invalid(msg::kInvalidHvcC);
            if (list) list->push_back(*unit);
        }
    }
    return config;
}

void write_hvcc_box(ByteWriter& w, ByteSpan vps, ByteSpan sps, ByteSpan pps, bool complete) {
    hevc::Sps s;
    s.ptl.profile_idc = 1;
    s.ptl.compatibility_flags = 0x60000000;  // Main, and Main 10 decoders take it
    s.ptl.level_idc = 93;
    if (auto parsed = hevc::parse_sps(sps)) s = *parsed;
    const hevc::ProfileTierLevel& ptl = s.ptl;

    size_t box = w.begin_box("hvcC");
    w.u8(1);  // configurationVersion
    w.u8(uint8_t((ptl.profile_space << 6) | (ptl.tier ? 0x20 : 0) | (ptl.profile_idc & 0x1F)));
    w.u32(ptl.compatibility_flags);
    w.u16(uint16_t(ptl.constraint_flags >> 32));
    w.u32(uint32_t(ptl.constraint_flags));
    w.u8(ptl.level_idc);
    w.u16(0xF000);  // min_spatial_segmentation_idc 0
    w.u8(0xFC);     // parallelismType 0
    w.u8(uint8_t(0xFC | (s.chroma_format_idc & 0x03)));
    w.u8(uint8_t(0xF8 | ((s.bit_depth_luma - 8) & 0x07)));
    w.u8(uint8_t(0xF8 | ((s.bit_depth_chroma - 8) & 0x07)));
    w.u16(0);  // avgFrameRate
    // constantFrameRate 0, numTemporalLayers, temporalIdNested,
    // lengthSizeMinusOne 3.
    w.u8(uint8_t(((s.max_sub_layers & 0x07) << 3) | (s.temporal_id_nesting ? 0x04 : 0) | 0x03));
    const ByteSpan units[3] = {vps, sps, pps};
    const uint8_t types[3] = {hevc::kVps, hevc::kSps, hevc::kPps};
    w.u8(3);  // numOfArrays
    for (int i = 0; i < 3; ++i) {
        w.u8(uint8_t((complete ? 0x80 : 0) | types[i]));
        w.u16(1);
        w.u16(uint16_t(units[i].size()));
        w.bytes(units[i]);
    }
    w.end_box(box);
}

}  // namespace morvex
