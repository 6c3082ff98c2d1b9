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
// are not inside its mdat ends its run. The caller checks the file's
// sample budget first (media/sample_budget.h).
Result<void> collect_fragment_samples(const std::vector<Box>& top_level,
                                      const std::vector<Box>& moov_children, std::vector<Track>& tracks);

}  // namespace morvex
