// Time across tracks: instants of different timescales compared exactly,
// and the tracks of one movie placed on the timeline their fragments give.
#pragma once

#include <cstdint>
#include <vector>

#include "isobmff/time_headers.h"
#include "media/track.h"

namespace morvex {

// Decode times (tfdt, ISO/IEC 14496-12 8.8.12) are read as signed: muxers
// write a time before 0 (AAC's priming, with the source's timestamps kept)
// in two's complement, as FFmpeg reads it back, and no stream lasts 2^63
// ticks.
inline int64_t signed_time(uint64_t tfdt) { return int64_t(tfdt); }

// A decode time moved back by `shift`: 0 when it lies before it.
inline uint64_t moved_back(uint64_t tfdt, int64_t shift) {
    const __int128 d = (__int128)signed_time(tfdt) - shift;
    return d <= 0 ? 0 : d > INT64_MAX ? uint64_t(INT64_MAX) : uint64_t(d);
}

// A time in ticks of its own timescale (never 0).
struct Instant {
    int64_t time = 0;
    uint32_t timescale = 1;

    bool operator<(const Instant& o) const { return (__int128)time * o.timescale < (__int128)o.time * timescale; }
    // The same instant in ticks of `to`, rounded down (towards the past).
    int64_t in(uint32_t to) const {
        if (to == timescale) return time;
        const __int128 n = (__int128)time * to;
        __int128 q = n / timescale;
        if (n % timescale != 0 && n < 0) --q;
        return q > INT64_MAX ? INT64_MAX : q < INT64_MIN ? INT64_MIN : int64_t(q);
    }
};

// Fragments carry each track's decode times; a regular file counts every
// track from 0. The tracks that have a start_time keep their distance from
// the earliest of them: each later one
// gets an empty edit in front that delays it by the difference (in the
// movie timescale), so players start them at the offsets of the source.
void keep_track_offsets(std::vector<Track>& tracks, uint32_t movie_timescale);

}  // namespace morvex
