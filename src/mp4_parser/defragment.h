// The movie box of a regular MP4 rebuilt from a fragmented one; shared by
// defragmentation and muxing.
#pragma once

#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4_parser/fragment_samples.h"

namespace morvex {

// Timescale of the first mvhd among a moov's children (1000 without one).
uint32_t moov_timescale(const std::vector<Mp4Box>& moov_children);
// The longest track, in the movie timescale.
uint64_t movie_duration(const std::vector<const TrackFragments*>& tracks, uint32_t movie_timescale);

// Empty `chunk_offsets`: the measuring pass (the offsets do not change the length).
Result<Bytes> build_regular_moov(ByteSpan moov_payload, const std::vector<TrackFragments>& tracks,
                                 std::span<const uint64_t> chunk_offsets, bool co64);

}  // namespace morvex
