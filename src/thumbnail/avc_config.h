// H.264 decoder configuration of an MP4 track (ISO/IEC 14496-15 5.3.3.1,
// AVCDecoderConfigurationRecord in the avcC box) and the conversion of a
// length-prefixed sample to the Annex B byte stream format.
#pragma once

#include <cstdint>
#include <vector>

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

// Appends each NAL unit of `sample` behind 00 00 00 01. A zero length gives
// the start code alone; a length field or NAL unit cut short ends the sample.
void append_annexb_sample(Bytes& out, ByteSpan sample, uint8_t length_size);

}  // namespace morvex
