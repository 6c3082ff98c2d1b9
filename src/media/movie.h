// A movie: what every reader gives (a transport stream, a regular MP4, a
// fragmented MP4), what the operations change (clip, join, timeline) and
// what the writers write (regular or fragmented MP4).
#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.h"
#include "media/track.h"

namespace morvex {

struct Movie {
    ByteSpan ftyp;  // written first, as it is
    // The template moov box: its children are kept in order, except that
    // mvhd is rewritten, mvex is left out (a regular file has no fragments)
    // and the tracks take the place of the template's trak boxes.
    ByteSpan moov;
    uint32_t timescale = 1000;  // movie timescale, of mvhd
    std::vector<Track> tracks;
};

}  // namespace morvex
