// Transport stream to regular MP4: the programme the reader follows, its
// video and audio each on the programme's timeline, the later one delayed
// by an edit.
#pragma once

#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex {

// The reader's report is appended to `report`, also on failure once the
// stream has been read.
Result<PlannedOutput> plan_convert_ts_to_mp4(ByteSpan data, std::string& report);
Result<Bytes> convert_ts_to_mp4(ByteSpan data, std::string& report);

}  // namespace morvex
