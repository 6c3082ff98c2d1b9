// A transport stream cut into movie fragments as it is read: the reader's
// samples go into the fragmenter as they come out, and the fragments that
// are complete come out in turn. The whole-file road and the live
// transmuxer both run it, packet by packet, so that they cut any stream
// into the same fragments, however it was pieced.
//
// The video keeps its parameter sets in the samples (avc3, hev1): the
// initialisation segment is written before the rest of the stream is
// known, and a stream may change its sets at any point.
//
// The movie holds the video and one audio track, the programme's first: a
// CMAF track holds one, and MSE takes one track of a kind in a
// SourceBuffer. The other audio streams are left out, and the report names
// them.
//
// The initialisation segment goes out with the first fragment, and names
// the tracks known by then: a stream that a new PMT adds before that joins
// them, with the delay of its first sample. One that begins after it cannot
// join (a player takes one set of tracks from the first initialisation
// segment) and is left out, named in the report too.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4/fragmenter.h"
#include "roads/ts_movie.h"
#include "ts/reader.h"

namespace morvex {

struct TsFragmenting {
    TsReader reader;
    std::unique_ptr<TsMovie> movie;  // once the tracks are known
    Bytes init;
    Fragmenter fragmenter;  // its tracks are the movie's
    int64_t base = 0;       // the programme's first instant (90 kHz)
    bool written = false;   // a fragment came out: the tracks are settled
    uint64_t taken = 0;     // samples the reader had given out at the last look
};

// Reads the packets of `s`; the fragments that become complete are
// appended to `out`. When `s` is final, the last fragments too. Nothing
// comes out before the programme's tracks are known.
Result<void> fragment_ts(TsFragmenting& f, const StreamBytes& s, std::vector<MovieFragment>& out);

// Drops what the fragments written so far needed (the reader's NAL units,
// pieces and audio bytes); returns the input position from which the
// input is still needed.
uint64_t drop_written(TsFragmenting& f);

}  // namespace morvex
