// Sample entries of the stsd box for streams that come without one: H.264
// (avc1 or avc3 with avcC, ISO/IEC 14496-15 5.4.2), H.265 (hvc1 or hev1
// with hvcC, ISO/IEC 14496-15 8.4.1), MPEG-2 video (mp4v with esds), AAC
// and MPEG audio (mp4a with esds, ISO/IEC 14496-14 5.6) and AC-3 / E-AC-3
// (ac-3 with dac3, ec-3 with dec3, ETSI TS 102 366 F.3, F.5).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "codecs/aac.h"
#include "codecs/mpeg_audio.h"
#include "codecs/ac3.h"
#include "common/byte_writer.h"
#include "common/bytes.h"

namespace morvex {

// avc1, or avc3 when the samples carry their parameter sets in-band
// (ISO/IEC 14496-15 5.4.2); the avcC is written when both kinds of
// parameter set are known.
void write_avc_entry(ByteWriter& w, bool in_band, uint16_t width, uint16_t height, std::span<const ByteSpan> sps,
                     std::span<const ByteSpan> pps);

// hvc1 says every parameter set is in the hvcC; hev1 that they may also
// come in the samples (the hvcC then marks its arrays incomplete).
void write_hvc1_entry(ByteWriter& w, uint16_t width, uint16_t height, ByteSpan vps, ByteSpan sps, ByteSpan pps,
                      bool hev1 = false);

void write_mp4a_entry(ByteWriter& w, const aac::AdtsHeader& config, uint32_t sample_rate);
// AAC whose AudioSpecificConfig the stream gives as it stands (LATM).
void write_mp4a_entry(ByteWriter& w, ByteSpan audio_specific_config, uint16_t channels, uint32_t sample_rate);

// Visual streams of ISO/IEC 14496-1 object types in mp4v (ISO/IEC 14496-14
// 5.6): MPEG-2 video with objectTypeIndication 0x60-0x65 and its sequence
// header and extension as DecoderSpecificInfo.
void write_mp4v_entry(ByteWriter& w, uint16_t width, uint16_t height, uint8_t object_type, ByteSpan decoder_config,
                      uint32_t bitrate);

// MPEG-1/2 audio (MP3, MP2) in mp4a: objectTypeIndication 0x6B or 0x69 and
// no decoder specific info (ISO/IEC 14496-14 5.6).
void write_mpeg_audio_entry(ByteWriter& w, const mpeg_audio::FrameHeader& config);
// An AudioSampleEntry at the frame's sample rate (its timescale too) with
// the channels of acmod and lfeon.
void write_ac3_entry(ByteWriter& w, const ac3::FrameHeader& frame);
void write_ec3_entry(ByteWriter& w, const ac3::Eac3Config& config);

}  // namespace morvex
