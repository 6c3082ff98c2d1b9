// Where a player shows a track's samples: its edit list (ISO/IEC 14496-12
// 8.6.6) applied to the samples' composition times. The forms muxers write
// are read: empty edits in front (a delay), then one edit of the media from
// a media time on (B-frame delay, audio priming, a late start), for a
// duration or to the end. Later edits are not followed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "media/track.h"

namespace morvex {

struct TrackPresentation {
    uint32_t timescale = 1;     // the track's media timescale
    double delay = 0;           // seconds of empty edits in front
    int64_t media_time = 0;     // media time shown first
    std::optional<double> shown;  // seconds the media edit lasts; none: to the end

    // Seconds on the movie's timeline at which media time `m` is shown.
    double at(int64_t m) const { return delay + double(m - media_time) / double(timescale); }
};

TrackPresentation presentation_of(const Track& t, uint32_t movie_timescale);

// Decode time of each sample, from 0, and its composition time.
struct SampleTimes {
    std::vector<int64_t> decode;
    int64_t composition(const Track& t, size_t i) const { return decode[i] + t.samples[i].composition_offset; }
};
SampleTimes sample_times(const Track& t);

// The span of a track a player shows, in seconds on the movie's timeline:
// from the first sample shown (none before the edit's media time) to the end
// of the last, cut to the edit's duration. Empty for a track that shows no
// sample.
struct ShownSpan {
    double begin = 0;
    double end = 0;
    size_t first = 0;  // the sample shown first (decode order index)
};
std::optional<ShownSpan> shown_span(const Track& t, const TrackPresentation& p, const SampleTimes& times);

}  // namespace morvex
