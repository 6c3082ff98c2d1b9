// Regular MP4 from a demultiplexed transport stream.
#pragma once

#include "common/bytes.h"
#include "common/error.h"
#include "ts_parser/media_data.h"

namespace morvex {

// Consumes `media`; `reset_timestamps` is accepted and changes nothing.
Result<Bytes> create_mp4_with_options(MediaData media, bool reset_timestamps);

}  // namespace morvex
