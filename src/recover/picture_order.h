// When found pictures are shown: their picture order counts, within each
// period that begins with a picture resetting the count, give the order
// in which a decoder outputs them, so a stream with B-frames presents
// right. Every picture lasts one frame duration; a picture shown k frames
// after its decode position gets a composition offset of k frames, all
// offsets made non-negative by one delay for the whole track, which an
// edit list then takes off (as muxers write B-frame streams).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "media/track.h"
#include "recover/mdat_scanner.h"

namespace morvex {

// Sets the composition offsets of `samples` (one per picture, each
// `duration` long) and returns the delay in media ticks: the composition
// time of the first picture shown. A period whose counts would move a
// picture more than 64 places (counts out of step, after a damaged
// stretch) keeps its decode order, and a track whose offsets would not
// fit 31 bits keeps decode order throughout.
uint64_t order_pictures(std::span<const ScannedPicture> pictures, uint32_t duration, std::vector<Sample>& samples);

}  // namespace morvex
