// Defragmentation: ftyp, a moov with complete sample tables, one mdat.
#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "media/mp4_tracks.h"
#include "roads/mp4_roads.h"

namespace morvex {

Result<Movie> defragmented_movie(ByteSpan data) {
    auto top = MORVEX_TRY(read_top_level(data));
    bool fragmented = false;
    for (const auto& b : top) fragmented |= b.type == box::moof;
    if (!fragmented) return invalid(msg::kNotFragmented);
    Mp4Tracks file = MORVEX_TRY(read_mp4_tracks(data, std::move(top)));
    return Movie{ByteSpan(kRebuiltFtyp), file.moov.bytes, file.movie_timescale, std::move(file.tracks)};
}

Result<Bytes> defragment_mp4(ByteSpan data) { return build_regular_mp4(MORVEX_TRY(defragmented_movie(data))); }

Result<Bytes> convert_mp4_reset_timestamps(ByteSpan data) {
    auto defragmented = defragment_mp4(data);
    if (defragmented) return defragmented;
    return reset_mp4_timestamps(data);
}

}  // namespace morvex
