// Sample entries of the stsd box for streams that come without one: H.264
// (avc1 with avcC, ISO/IEC 14496-15 5.4.2) and AAC (mp4a with esds,
// ISO/IEC 14496-14 5.6).
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/aac.h"
#include "common/byte_writer.h"
#include "common/bytes.h"

namespace morvex {

// The avcC is written when both parameter sets are known.
void write_avc1_entry(ByteWriter& w, uint16_t width, uint16_t height, std::optional<ByteSpan> sps,
                      std::optional<ByteSpan> pps);

void write_mp4a_entry(ByteWriter& w, const aac::AdtsHeader& config, uint32_t sample_rate);

}  // namespace morvex
