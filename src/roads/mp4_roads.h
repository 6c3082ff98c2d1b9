// The MP4 rewriting roads: defragmentation, two-track muxing and the
// timestamp reset of whole files.
#pragma once

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"
#include "mp4/regular_writer.h"

namespace morvex {

// A fragmented MP4 (initialisation moov, moof/mdat fragments) as a regular
// MP4: the samples the moov holds, then those of the fragments.
Result<Bytes> defragment_mp4(ByteSpan data);

// The tracks of two MP4 files (fragmented or regular), delivered separately,
// in one regular MP4 whose movie box is the first file's.
Result<Bytes> mux_fmp4_tracks(ByteSpan video, ByteSpan audio);

// Fragment decode times rebased so every track starts at 0; header times
// cleared and durations set from the fragments. Every box keeps its length.
Result<Bytes> reset_mp4_timestamps(ByteSpan data);

// Defragments when that succeeds, and otherwise resets the timestamps.
Result<Bytes> convert_mp4_reset_timestamps(ByteSpan data);

// The movies the two first roads write.
Result<Movie> defragmented_movie(ByteSpan data);
Result<Movie> muxed_movie(ByteSpan video, ByteSpan audio);

// The same roads with the writing deferred to storage the caller hands
// over; the inputs must stay as they are until then.
Result<PlannedOutput> plan_defragment_mp4(ByteSpan data);
Result<PlannedOutput> plan_mux_fmp4_tracks(ByteSpan video, ByteSpan audio);
Result<PlannedOutput> plan_reset_mp4_timestamps(ByteSpan data);
Result<PlannedOutput> plan_convert_mp4_reset_timestamps(ByteSpan data);

}  // namespace morvex
