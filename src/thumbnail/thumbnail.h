// First H.264 key frame as an Annex B byte stream.
#pragma once

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

// SPS, PPS and every slice of the first IDR picture of the transport stream's
// video.
Result<Bytes> extract_thumbnail_from_ts(ByteSpan data);

// SPS and PPS of the first video track's avcC and its first sync sample.
Result<Bytes> extract_thumbnail_from_mp4(ByteSpan data);

}  // namespace morvex
