// Rewriting of MP4 files: defragmentation, timestamp reset, two-track muxing.
#pragma once

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

Result<Bytes> defragment_mp4(ByteSpan data);
Result<Bytes> reset_mp4_timestamps(ByteSpan data);
Result<Bytes> mux_fmp4_tracks(ByteSpan video, ByteSpan audio);

}  // namespace morvex
