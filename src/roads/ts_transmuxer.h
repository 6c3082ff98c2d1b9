// A live transport stream, piece by piece, to fragmented MP4: the
// initialisation segment once, then each movie fragment as soon as it is
// complete (mp4/fragmenter.h: a group of pictures, with its audio).
//
// Each byte is read once: the reader keeps its state between pieces (the
// PES being gathered, the access unit being cut, the samples waiting for
// their timing), and the transmuxer keeps only the input from the first
// byte still needed on (about one group of pictures), so memory stays
// bounded whatever the stream. The pieces joined give, byte for byte,
// convert_ts_to_fmp4 of the joined stream, however they were cut.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "roads/ts_fragmenting.h"

namespace morvex {

struct TsTransmuxer {
    TsFragmenting session;
    Bytes input;            // the stream from position input_at on
    uint64_t input_at = 0;
    bool sync_seen = false;  // a sync byte has arrived
    bool init_given = false;
    std::optional<Bytes> init;  // known once the first fragment is written
};

// Takes the next bytes of the stream; returns the fragments complete so
// far, after the initialisation segment the first time. With
// `end_of_segment` the bytes end at a boundary the caller knows (an HLS
// segment's end): what they hold is written whole, as by a flush.
Result<Bytes> transmux_push(TsTransmuxer& t, ByteSpan segment, bool end_of_segment = false);

// Writes all that is pending (the last group of pictures too). Later
// pushes go on on the same tracks and timeline.
Result<Bytes> transmux_flush(TsTransmuxer& t);

// The reader's report of the stream so far.
std::string transmux_report(const TsTransmuxer& t);

// Back to a new stream.
void transmux_reset(TsTransmuxer& t);

}  // namespace morvex
