#include "codecs/avc_config.h"

#include <algorithm>

#include "common/byte_reader.h"
#include "common/messages.h"

namespace morvex {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// numOf... parameter sets, each behind its 16-bit length.
bool read_sets(ByteReader& r, uint8_t count, std::vector<ByteSpan>& sets) {
    for (uint8_t i = 0; i < count; ++i) {
        auto length = r.u16();
        if (!length) return false;
        auto set = r.bytes(*length);
        if (!set) return false;
        sets.push_back(*set);
    }
    return true;
}

}  // namespace

Result<AvcConfig> parse_avc_config(ByteSpan payload) {
    ByteReader r{payload};
    AvcConfig config;
    // configurationVersion, AVCProfileIndication, profile_compatibility,
    // AVCLevelIndication, then 6 reserved bits and lengthSizeMinusOne.
    auto length_byte = r.skip(4) ? r.u8() : std::nullopt;
    auto sps_count = r.u8();  // 3 reserved bits, numOfSequenceParameterSets
    if (!length_byte || !sps_count || !read_sets(r, *sps_count & 0x1F, config.sps))
        return invalid(msg::kInvalidAvcC);
    auto pps_count = r.u8();
    if (!pps_count || !read_sets(r, *pps_count, config.pps)) return invalid(msg::kInvalidAvcC);
    config.length_size = uint8_t((*length_byte & 0x03) + 1);
    return config;
}

void write_avcc_box(ByteWriter& w, std::span<const ByteSpan> sps_sets, std::span<const ByteSpan> pps_sets) {
    const size_t sps_count = std::min<size_t>(sps_sets.size(), 31);
    const size_t pps_count = std::min<size_t>(pps_sets.size(), 255);
    const ByteSpan first = sps_count ? sps_sets[0] : ByteSpan();
    size_t avcc = w.begin_box("avcC");
    const bool short_sps = first.size() < 4;
    w.u8(1);
    w.u8(short_sps ? 100 : first[1]);  // profile_idc
    w.u8(short_sps ? 0 : first[2]);    // constraint flags
    w.u8(short_sps ? 31 : first[3]);   // level_idc
    w.u8(0xFF);                        // 4-byte NAL unit lengths
    w.u8(uint8_t(0xE0 | sps_count));   // 3 reserved bits, numOfSequenceParameterSets
    for (size_t i = 0; i < sps_count; ++i) {
        w.u16(uint16_t(sps_sets[i].size()));
        w.bytes(sps_sets[i]);
    }
    w.u8(uint8_t(pps_count));
    for (size_t i = 0; i < pps_count; ++i) {
        w.u16(uint16_t(pps_sets[i].size()));
        w.bytes(pps_sets[i]);
    }
    w.end_box(avcc);
}

void append_annexb_sample(Bytes& out, ByteSpan sample, uint8_t length_size) {
    ByteReader r{sample};
    ByteWriter w{out};
    while (r.can_read(length_size)) {
        uint32_t length = 0;
        for (uint8_t i = 0; i < length_size; ++i) length = (length << 8) | *r.u8();
        auto nal = r.bytes(length);
        if (!nal) break;
        w.bytes(kStartCode);
        w.bytes(*nal);
    }
}

void append_annexb_nal(Bytes& out, ByteSpan nal_unit) {
    ByteWriter w{out};
    w.bytes(kStartCode);
    w.bytes(nal_unit);
}

}  // namespace morvex
