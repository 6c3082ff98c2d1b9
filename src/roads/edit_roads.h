// Clips and joins: a reader for each input, an operation on the movie,
// the regular writer.
#pragma once

#include <span>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"
#include "ops/clip.h"

namespace morvex {

// A time range of any input as a regular MP4 whose timeline starts at 0.
Result<PlannedOutput> plan_clip(ByteSpan data, const ClipRange& range, std::string& report);

// Inputs of any kinds, with the same codecs, one after the other as one
// regular MP4. A part that no reader takes fails with the reader's message
// behind "Part N: ".
Result<PlannedOutput> plan_concat(std::span<const ByteSpan> parts, std::string& report);

}  // namespace morvex
