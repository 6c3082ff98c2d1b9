// Any input as a movie: the reader of its format (a transport stream, a
// regular MP4, a fragmented MP4) gives the one model the operations change
// and the writers write.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "media/movie.h"

namespace morvex {

enum class InputFormat { Ts, Mp4, Fragmented };

struct MovieInput {
    InputFormat format = InputFormat::Mp4;
    Movie movie;
    // Seconds on the input's own timeline at the movie's time 0 (a
    // transport stream's PTS, a fragmented file's first decode time).
    double origin = 0;
    // The ID the input gives each track, where it is not the track_ID (a
    // transport stream's PIDs); empty otherwise.
    std::vector<uint32_t> ids;
    std::shared_ptr<const void> keep;  // what the movie's samples and boxes point into
};

// The format of an input, from its first bytes: an MP4 begins with a box
// of a known top-level type, a transport stream with packets.
InputFormat input_format(ByteSpan data);

// The movie of any input. A transport stream is read as convert_ts_to_mp4
// reads it (its report appended to `report`); an MP4 as defragment_mp4 and
// mux_fmp4_tracks read it, each fragmented track keeping its offset from the
// earliest.
Result<std::shared_ptr<MovieInput>> read_movie(ByteSpan data, std::string& report);

}  // namespace morvex
