// HEVCDecoderConfigurationRecord (ISO/IEC 14496-15 8.3.3.1), the payload of
// the hvcC box: the stream's profile, tier, level, chroma format and bit
// depths, and its parameter sets in arrays by NAL unit type.
#pragma once

#include <cstdint>
#include <vector>

#include "common/byte_writer.h"
#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

struct HevcConfig {
    uint8_t length_size = 4;  // bytes of each NAL unit length field in samples
    std::vector<ByteSpan> vps;
    std::vector<ByteSpan> sps;
    std::vector<ByteSpan> pps;
    std::vector<ByteSpan> sei;  // prefix and suffix SEI units of the record
};

// Parses the payload of an hvcC box; fails when it ends inside the record.
// Arrays of other NAL unit types are skipped.
Result<HevcConfig> parse_hevc_config(ByteSpan payload);

// Writes an hvcC box with 4-byte NAL unit lengths and one array each for
// the VPS, SPS and PPS. Profile, tier, level, chroma format, bit depths,
// numTemporalLayers and temporalIdNested come from the SPS (Main profile,
// level 3.1, 4:2:0, 8 bits when it cannot be parsed); spatial segmentation,
// parallelism and frame rate are left unspecified (0). `complete` sets
// array_completeness: 1 says no parameter sets come in-band (hvc1), 0 that
// they may (hev1).
void write_hvcc_box(ByteWriter& w, ByteSpan vps, ByteSpan sps, ByteSpan pps, bool complete = true);

}  // namespace morvex
