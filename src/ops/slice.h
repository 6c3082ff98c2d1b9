// A track's samples from `a` up to `b`: the track as it is, with those
// samples, and what goes with each sample (auxiliary information, the
// parts of a joined track) cut the same way. Its start time and edits are
// the caller's to set.
#pragma once

#include <cstddef>

#include "media/track.h"

namespace morvex {

Track slice_track(const Track& t, size_t a, size_t b);

}  // namespace morvex
