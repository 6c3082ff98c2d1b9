// The ISO/IEC 14496-12 boxes shared by both tracks of a converted file.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/byte_writer.h"

namespace morvex {

void write_mvhd(ByteWriter& w, uint32_t timescale, uint32_t duration, uint32_t next_track_id);  // 8.2.2
void write_tkhd(ByteWriter& w, uint32_t track_id, uint32_t duration, uint16_t volume, uint16_t width,
                uint16_t height);                                                             // 8.3.2
void write_mdhd(ByteWriter& w, uint32_t timescale, uint32_t duration);                       // 8.4.2
void write_hdlr(ByteWriter& w, std::string_view handler_type);                               // 8.4.3
void write_dinf(ByteWriter& w);                                                              // 8.7.1

// edts/elst (8.6.5, 8.6.6): an empty edit of `delay`, then the whole media
// from media time 0; both durations in the movie timescale.
void write_delay_edit(ByteWriter& w, uint32_t delay, uint32_t media_duration);

// One stts entry: every sample lasts `delta`.
void write_uniform_stts(ByteWriter& w, uint32_t sample_count, uint32_t delta);
// One chunk holding every sample.
void write_single_chunk_stsc(ByteWriter& w, uint32_t sample_count);
void write_stsz(ByteWriter& w, std::span<const uint32_t> sizes);
// stco, or co64 when `large`; returns where the chunk offset field lies.
size_t write_single_chunk_offset(ByteWriter& w, bool large);

}  // namespace morvex
