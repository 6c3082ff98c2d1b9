// Transport stream to fragmented MP4, whole: the movie of the TS road cut
// into one fragment per group of pictures (mp4/fragmented_writer.h).
#pragma once

#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex {

// The demultiplexer's report is appended to `report`, as for the regular road.
Result<PlannedOutput> plan_convert_ts_to_fmp4(ByteSpan data, std::string& report);

Result<Bytes> convert_ts_to_fmp4(ByteSpan data, std::string& report);

}  // namespace morvex
