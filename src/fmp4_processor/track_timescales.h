// Media timescales of the tracks of an initialisation segment
// (ISO/IEC 14496-12: moov/trak/tkhd track_ID, moov/trak/mdia/mdhd timescale).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace morvex {

struct TrackTimescale {
    uint32_t track_id = 0;
    uint32_t timescale = 0;  // never 0 in the list
};

// The tracks of the first top-level moov whose tkhd and mdhd can be read and
// whose timescale is not 0. Unreadable tracks and a missing moov give fewer
// entries, never an error.
std::vector<TrackTimescale> read_track_timescales(ByteSpan init);

std::optional<uint32_t> find_timescale(const std::vector<TrackTimescale>& tracks, uint32_t track_id);

}  // namespace morvex
