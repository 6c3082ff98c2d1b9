// Rebasing of tfdt decode times across a live sequence of fMP4 segments.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex {

struct TrackTimescale {
    uint32_t track_id = 0;
    uint32_t timescale = 0;  // never 0 in the list
};

struct FragmentedMP4Processor {
    // baseMediaDecodeTime of the first tfdt met since creation or reset.
    std::optional<uint64_t> base_decode_time;
    // Track of the traf that held that tfdt (from its tfhd), when it had one.
    std::optional<uint32_t> base_track_id;
    // Copy of the last initialisation segment handed in.
    Bytes init_segment;
    // Media timescale of each track the initialisation segment describes.
    std::vector<TrackTimescale> timescales;
};

// Stores a copy of `init` and learns the tracks' timescales from its moov.
// An initialisation segment that describes no track is kept all the same.
void set_init_segment(FragmentedMP4Processor& processor, ByteSpan init);

// Makes the base absent again; the next tfdt defines a new one.
void reset(FragmentedMP4Processor& processor);

// Rewrites every moof/traf/tfdt of `segment` so that decode times count from
// the base; every other byte is copied unchanged.
Result<Bytes> process_segment(FragmentedMP4Processor& processor, ByteSpan segment);

// The same, written later into storage the caller hands over (at most once,
// while `segment` stays as it is).
Result<PlannedOutput> plan_segment(FragmentedMP4Processor& processor, ByteSpan segment);

}  // namespace morvex
