// The movie of a transport stream: the tracks the reader found, with the
// trak boxes that describe them, ready for either writer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4/regular_writer.h"
#include "ts/reader.h"

namespace morvex {

// A track of the movie reads the video (kVideoSource) or the reader's
// audio track of that index.
inline constexpr int kVideoSource = -1;

// The templates the tracks point into, and the movie: the video track and
// each audio track the module can describe (the first enabled, the others
// in one alternate group, each with its language), with no samples yet.
// `in_band`: the video samples keep their parameter sets (avc3, hev1);
// otherwise the sample entry holds every one the stream has (avc1, hvc1)
// and the samples leave them out.
struct TsMovie {
    Bytes templates;
    Movie movie;
    std::vector<int> sources;  // by track of the movie
};

// The tracks the reader has that a movie can hold now: the video once its
// first picture is placed, then each audio track that began and whose
// stream said what its sample entry needs, in the reader's order (with
// `one_audio`, the first of them only).
std::vector<int> ts_track_sources(const TsReader& r, bool one_audio = false);

// Fails when the programme has no track to write: a programme with video
// whose pictures never began, or without video and audio ("No video data
// found", or the kind of video it has). The tracks must be known
// (ts_tracks_known), or the input finished. `sources`: the tracks, in
// order (ts_track_sources when empty).
Result<std::unique_ptr<TsMovie>> ts_movie(const TsReader& r, bool in_band, std::vector<int> sources = {});

// Where the tracks' sample bytes are, as the reader holds them now.
void point_tracks_at(TsMovie& m, const TsReader& r);

// What the reader holds for a track of the movie.
const TsTrackOutput& ts_track_output(const TsReader& r, int source);
TsTrackOutput& ts_track_output(TsReader& r, int source);

// The first presentation time of the programme (the earliest track's,
// 90 kHz).
int64_t ts_base_time(const TsMovie& m, const TsReader& r);

}  // namespace morvex
