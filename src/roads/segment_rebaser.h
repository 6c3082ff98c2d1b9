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

// A track rebased by its own first decode time (its timescale unknown).
struct TrackBase {
    uint32_t track_id = 0;
    uint64_t base = 0;
};

struct FragmentedMP4Processor {
    // The base: the earliest first decode time among the tracks of the first
    // segment with a tfdt since creation or reset (compared through their
    // timescales; without them, the first tfdt met), in its own track's
    // timescale.
    std::optional<uint64_t> base_decode_time;
    // Track of the traf that holds it (from its tfhd), when it had one.
    std::optional<uint32_t> base_track_id;
    // Copy of the last initialisation segment handed in.
    Bytes init_segment;
    // Media timescale of each track the initialisation segment describes.
    std::vector<TrackTimescale> timescales;
    // The first decode time of each track that moves back by its own,
    // because the base cannot be given in its timescale.
    std::vector<TrackBase> own_bases;
};

// Stores a copy of `init` and learns the tracks' timescales from its moov.
// An initialisation segment that describes no track is kept all the same.
void set_init_segment(FragmentedMP4Processor& processor, ByteSpan init);

// Makes the base absent again; the next segment with a tfdt defines a new one.
void reset(FragmentedMP4Processor& processor);

// Rewrites every moof/traf/tfdt of `segment` so that decode times count from
// the base, every track by the same instant (ISO/IEC 14496-12 8.8.12), and
// the earliest_presentation_time of every sidx (8.16.3) with them; every
// other byte is copied unchanged.
Result<Bytes> process_segment(FragmentedMP4Processor& processor, ByteSpan segment);

// The same, written later into storage the caller hands over (at most once,
// while `segment` stays as it is).
Result<PlannedOutput> plan_segment(FragmentedMP4Processor& processor, ByteSpan segment);

}  // namespace morvex
