// Recovery of a recording cut short: the movie recover/recovered_movie.h
// reads, written as a regular MP4.
#pragma once

#include <optional>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex {

// `reference`: a healthy MP4 from the same recorder, for a file whose moov
// is missing. The inputs must stay as they are until the output is written.
Result<PlannedOutput> plan_recover_mp4(ByteSpan data, std::optional<ByteSpan> reference);
Result<Bytes> recover_mp4(ByteSpan data, std::optional<ByteSpan> reference);

}  // namespace morvex
