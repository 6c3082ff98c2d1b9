// Rebasing of tfdt decode times across a live sequence of fMP4 segments.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex {

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
    // Media timescale (never 0) of each track, by track_ID, that the
    // initialisation segment describes.
    std::unordered_map<uint32_t, uint32_t> timescales;
    // The first decode time of each track, by track_ID, that moves back by
    // its own, because the base cannot be given in its timescale.
    std::unordered_map<uint32_t, uint64_t> own_bases;
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
