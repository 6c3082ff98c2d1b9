// Clipping a movie by time without re-encoding (an operation on the one
// movie every reader gives): the samples of a span of the presentation,
// with edit lists that say where the span begins and how long it lasts.
#pragma once

#include <optional>

#include "common/error.h"
#include "media/movie.h"

namespace morvex {

struct ClipRange {
    double start = 0;             // seconds from the first sample the input shows
    std::optional<double> end;    // seconds; none: to the end
    bool exact = false;
};

// The clip of `movie` (its samples stay where they are; the tracks' edits
// are rewritten so that the clip's timeline starts at 0).
//
// The clip begins with the last key frame of the lead track (its first
// video track) at or before `start`, whose pictures need nothing before
// them, and ends with the last picture that begins before `end`; the other
// tracks cover the same span and keep their offset to the lead. With
// `exact`, the file still begins with that key frame's group, but the edits
// hide what comes before `start` (those pictures stay in the file), and the
// presentation lasts `end - start`.
//
// Fails for a start below 0, an end at or before the start, and a start at
// or past the end of the input.
Result<Movie> clip_movie(const Movie& movie, const ClipRange& range);

}  // namespace morvex
