// The movie box of a converted transport stream: one video track and, when
// there is audio, one audio track, each a single chunk in one mdat.
#pragma once

#include <optional>

#include "common/byte_writer.h"
#include "common/bytes.h"
#include "mp4_writer/access_units.h"
#include "mp4_writer/timeline.h"
#include "ts_parser/media_data.h"

namespace morvex {

struct MoovBox {
    Bytes data;
    size_t video_chunk_offset_at = 0;                 // where the chunk offset fields lie
    std::optional<size_t> audio_chunk_offset_at;
};

// `large` selects co64 chunk offsets. The offsets are written as 0; the
// caller fills them once the box length, which does not depend on them,
// is known.
MoovBox build_moov(const MediaData& media, const VideoSamples& samples, const ProgramTiming& timing, bool large);

void write_video_trak(ByteWriter& w, const MediaData& media, const VideoSamples& samples, const ProgramTiming& timing,
                      bool large, size_t& chunk_offset_at);
void write_audio_trak(ByteWriter& w, const MediaData& media, const ProgramTiming& timing, bool large,
                      size_t& chunk_offset_at);

// Movie-timescale duration of a track: its empty edit plus its media.
uint32_t track_duration(uint64_t delay, uint64_t media_duration_90k);

}  // namespace morvex
