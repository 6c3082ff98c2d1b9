// The tracks of an MP4 file in the one sample model: each trak of the moov
// with its samples, those its sample table holds first, then those of the
// movie fragments that follow.
#pragma once

#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "isobmff/box.h"
#include "media/track.h"

namespace morvex {

struct Mp4Tracks {
    std::vector<Box> top_level;
    Box moov;
    std::vector<Box> moov_children;
    uint32_t movie_timescale = 1000;
    bool fragmented = false;  // some top-level moof
    std::vector<Track> tracks;  // one per trak, in order
};

// One trak with the samples of its sample table.
Result<Track> read_trak(ByteSpan file, const Box& trak);

// The top-level boxes of a file, and whether one of them is a moof.
Result<std::vector<Box>> read_top_level(ByteSpan file);

// The whole file read into tracks; fails without a moov ("moov box not
// found"). Edits whose segment_duration is 0 (in fragmented files: the
// whole media) get the track's real duration. The samples of all tracks
// together hold no more bytes than the file.
Result<Mp4Tracks> read_mp4_tracks(ByteSpan file);

// The same from top-level boxes already read.
Result<Mp4Tracks> read_mp4_tracks(ByteSpan file, std::vector<Box> top_level);

}  // namespace morvex
