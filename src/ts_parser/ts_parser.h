// MPEG-2 transport stream demultiplexer (ITU-T H.222.0).
#pragma once

#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "ts_parser/media_data.h"

namespace morvex {

// Demultiplexes a whole transport stream and writes the report to file
// descriptor 1.
Result<MediaData> parse_ts_packets(ByteSpan data);

// The same, appending the report to `report` instead of printing it.
Result<MediaData> parse_ts_packets(ByteSpan data, std::string& report);

}  // namespace morvex
