// A whole transport stream read into a movie: the programme the reader
// follows, its tracks each on the programme's timeline (a track that starts
// later delayed by an edit), as the regular writer and the operations take
// it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "roads/ts_movie.h"
#include "ts/reader.h"

namespace morvex {

struct TsInput {
    TsReader reader;  // holds what the tracks' samples point into
    std::unique_ptr<TsMovie> movie;
    int64_t base = 0;  // the PTS at the movie's time 0 (90 kHz, unwrapped)
};

// The reader's report is appended to `report`, also on failure once the
// stream has been read.
Result<std::shared_ptr<TsInput>> read_ts_input(ByteSpan data, std::string& report);

// The PID a track of the movie reads (of its last programme, after a
// change).
uint16_t ts_track_pid(const TsInput& in, size_t track);

}  // namespace morvex
