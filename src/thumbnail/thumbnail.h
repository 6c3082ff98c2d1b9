// First H.264 key frame as an Annex B byte stream.
#pragma once

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

Result<Bytes> extract_thumbnail_from_ts(ByteSpan data);
Result<Bytes> extract_thumbnail_from_mp4(ByteSpan data);

}  // namespace morvex
