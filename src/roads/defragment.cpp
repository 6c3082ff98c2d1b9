// Defragmentation: ftyp, a moov with complete sample tables, one mdat.
#include "common/messages.h"
#include "isobmff/time_headers.h"
#include "isobmff/fourcc.h"
#include "media/mp4_tracks.h"
#include "media/timeline.h"
#include "roads/mp4_roads.h"

namespace morvex {

Result<Movie> defragmented_movie(ByteSpan data) {
    auto top = MORVEX_TRY(read_top_level(data));
    bool fragmented = false;
    for (const auto& b : top) fragmented |= b.type == box::moof;
    if (!fragmented) return invalid(msg::kNotFragmented);
    Mp4Tracks file = MORVEX_TRY(read_mp4_tracks(data, std::move(top)));
    keep_track_offsets(file.tracks, file.movie_timescale);
    return Movie{ByteSpan(kRebuiltFtyp), file.moov.bytes, file.movie_timescale, std::move(file.tracks)};
}

Result<PlannedOutput> plan_defragment_mp4(ByteSpan data) {
    return plan_regular_mp4(std::make_shared<const Movie>(MORVEX_TRY(defragmented_movie(data))));
}

Result<Bytes> defragment_mp4(ByteSpan data) { return MORVEX_TRY(plan_defragment_mp4(data)).to_bytes(); }

Result<PlannedOutput> plan_convert_mp4_reset_timestamps(ByteSpan data) {
    auto defragmented = plan_defragment_mp4(data);
    if (defragmented) return defragmented;
    return plan_reset_mp4_timestamps(data);
}

Result<Bytes> convert_mp4_reset_timestamps(ByteSpan data) {
    return MORVEX_TRY(plan_convert_mp4_reset_timestamps(data)).to_bytes();
}

}  // namespace morvex
