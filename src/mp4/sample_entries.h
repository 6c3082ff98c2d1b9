// Sample entries of the stsd box for streams that come without one: H.264
// (avc1 with avcC, ISO/IEC 14496-15 5.4.2), AAC and MPEG audio (mp4a with
// esds, ISO/IEC 14496-14 5.6).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "codecs/aac.h"
#include "codecs/mpeg_audio.h"
#include "common/byte_writer.h"
#include "common/bytes.h"

namespace morvex {

// avc1, or avc3 when the samples carry their parameter sets in-band
// (ISO/IEC 14496-15 5.4.2); the avcC is written when both kinds of
// parameter set are known.
void write_avc_entry(ByteWriter& w, bool in_band, uint16_t width, uint16_t height, std::span<const ByteSpan> sps,
                     std::span<const ByteSpan> pps);

void write_mp4a_entry(ByteWriter& w, const aac::AdtsHeader& config, uint32_t sample_rate);

// MPEG-1/2 audio (MP3, MP2) in mp4a: objectTypeIndication 0x6B or 0x69 and
// no decoder specific info (ISO/IEC 14496-14 5.6).
void write_mpeg_audio_entry(ByteWriter& w, const mpeg_audio::FrameHeader& config);

}  // namespace morvex
