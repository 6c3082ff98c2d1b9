// AVCDecoderConfigurationRecord (ISO/IEC 14496-15 5.3.3.1), the payload of
// the avcC box, and the two NAL unit framings it separates: length-prefixed
// samples in MP4 and the Annex B byte stream.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/byte_writer.h"
#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

struct AvcConfig {
    uint8_t length_size = 4;  // bytes of each NAL unit length field in samples
    std::vector<ByteSpan> sps;
    std::vector<ByteSpan> pps;
};

// Parses the payload of an avcC box; fails when it ends inside the record.
Result<AvcConfig> parse_avc_config(ByteSpan payload);

// Writes an avcC box with 4-byte NAL unit lengths and the given parameter
// sets (at most 31 SPS and 255 PPS). Profile, compatibility and level come
// from the first SPS (defaults 100, 0, 31 for an SPS shorter than its first
// four bytes).
void write_avcc_box(ByteWriter& w, std::span<const ByteSpan> sps, std::span<const ByteSpan> pps);

// Appends each NAL unit of `sample` behind 00 00 00 01. A zero length gives
// the start code alone; a length field or NAL unit cut short ends the sample.
void append_annexb_sample(Bytes& out, ByteSpan sample, uint8_t length_size);

// Appends 00 00 00 01 and the NAL unit.
void append_annexb_nal(Bytes& out, ByteSpan nal_unit);

}  // namespace morvex
