// Samples of movie fragments (ISO/IEC 14496-12 8.8): each moof describes,
// track by track, runs of samples whose bytes lie in the mdat after it.
#pragma once

#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "isobmff/box.h"
#include "media/track.h"

namespace morvex {

// Appends the fragment samples of every moof/mdat pair among the top-level
// boxes to the track with the same track_ID (samples of other tracks are
// read and left out), with their positions in `file`. A sample whose bytes
// are not inside its mdat ends its run.
//  - Times: a track's first tfdt is its start_time (0 when the moov holds
//    samples of it, which come first); a later tfdt beyond the samples
//    before it is a gap, which the sample before it fills.
//  - A protected track gets each sample's auxiliary information (saiz and
//    saio of its traf) where it lies in the file.
// The caller checks the file's sample budget first (media/sample_budget.h).
Result<void> collect_fragment_samples(ByteSpan file, const std::vector<Box>& top_level,
                                      const std::vector<Box>& moov_children, std::vector<Track>& tracks);

}  // namespace morvex
