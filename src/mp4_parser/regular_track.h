// A track of a regular MP4 rebuilt from its fragments: the template trak of
// the initialisation moov, with tkhd and mdhd carrying the track's duration
// and the sample table (ISO/IEC 14496-12 8.5 to 8.7) built from the samples.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4_parser/fragment_samples.h"

namespace morvex {

struct TrakLayout {
    uint32_t movie_timescale = 1000;  // the unit of the tkhd duration
    bool co64 = false;                // 64-bit chunk offsets
};

// Every sample is its own chunk; chunks follow one another from
// `chunk_offset`, the file position of the track's first media byte.
Result<Bytes> build_regular_trak(ByteSpan trak_payload, const TrackFragments& track, uint64_t chunk_offset,
                                 const TrakLayout& layout);

// Sync sample rule of 8.6.2 with the sample flags of 8.8.3.1: neither
// sample_is_non_sync_sample nor sample_depends_on == 1.
constexpr bool is_sync_sample(uint32_t flags) {
    return (flags & 0x00010000u) == 0 && ((flags >> 24) & 3u) != 1;
}

}  // namespace morvex
