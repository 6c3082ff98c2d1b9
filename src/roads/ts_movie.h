// The movie of a transport stream: the tracks the reader found, with the
// trak boxes that describe them, ready for either writer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4/regular_writer.h"
#include "ts/reader.h"

namespace morvex {

// The templates the tracks point into, and the movie: the video track (ID
// 1) and, when the programme has audio the module can describe, the audio
// track (ID 2), with no samples yet. `in_band`: the video samples keep
// their parameter sets (avc3, hev1); otherwise the sample entry holds every
// one the stream has (avc1, hvc1) and the samples leave them out.
struct TsMovie {
    Bytes templates;
    Movie movie;
    bool has_audio = false;
};

// Fails when the programme has no video the module carries ("No video data
// found", or the kind of video it has). The tracks must be known
// (ts_tracks_known), or the input finished.
Result<std::unique_ptr<TsMovie>> ts_movie(const TsReader& r, bool in_band);

// Where the tracks' sample bytes are, as the reader holds them now.
void point_tracks_at(TsMovie& m, const TsReader& r);

// The first presentation time of the programme (the earlier track's), and a
// track's delay after it (90 kHz).
int64_t ts_base_time(const TsMovie& m, const TsReader& r);

}  // namespace morvex
