#include "codecs/avc_config.h"

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

void write_avcc_box(ByteWriter& w, ByteSpan sps, ByteSpan pps) {
    size_t avcc = w.begin_box("avcC");
    const bool short_sps = sps.size() < 4;
    w.u8(1);
    w.u8(short_sps ? 100 : sps[1]);  // profile_idc
    w.u8(short_sps ? 0 : sps[2]);    // constraint flags
    w.u8(short_sps ? 31 : sps[3]);   // level_idc
    w.u8(0xFF);                      // 4-byte NAL unit lengths
    w.u8(0xE1);                      // one SPS
    w.u16(uint16_t(sps.size()));
    w.bytes(sps);
    w.u8(1);
    w.u16(uint16_t(pps.size()));
    w.bytes(pps);
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
