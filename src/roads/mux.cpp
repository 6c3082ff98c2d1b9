// Two-track muxing: the tracks of two files delivered separately (typically
// one video, one audio) in one regular MP4 whose movie box is the first
// file's with the tracks of both.
#include <algorithm>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/time_headers.h"
#include "media/mp4_tracks.h"
#include "media/timeline.h"
#include "roads/mp4_roads.h"

namespace morvex {
namespace {

Result<Mp4Tracks> readable_tracks(ByteSpan data) {
    Mp4Tracks file = MORVEX_TRY(read_mp4_tracks(data));
    std::unordered_set<uint32_t> seen;
    for (const auto& t : file.tracks) {
        if (t.track_id == 0) return invalid(msg::no_trak_for_track(0));
        if (!seen.insert(t.track_id).second) return invalid(msg::duplicate_track_id(t.track_id));
    }
    // A track whose samples cannot be read, or that does not say how they
    // are coded, would come out unplayable.
    for (const auto& t : file.tracks) {
        if (t.samples.empty()) return invalid(msg::no_samples_readable(t.track_id));
        auto trak = MORVEX_TRY(read_box(t.trak, 0, 0, BoxRules{Overrun::Error}));
        if (!trak || !MORVEX_TRY(find_path(*trak, {box::mdia, box::minf, box::stbl, box::stsd})))
            return invalid(msg::no_sample_description(t.track_id));
    }
    return file;
}

// Separately packaged files usually number their only track 1. The second
// file's tracks whose IDs the first file already uses get the next free
// IDs, and the references between its tracks follow them.
void renumber_second(const std::vector<Track>& first, std::vector<Track>& second) {
    std::unordered_set<uint32_t> taken;
    uint32_t next = 1;
    for (const auto& t : first) {
        taken.insert(t.track_id);
        next = std::max(next, t.track_id + 1);
    }
    for (const auto& t : second) next = std::max(next, t.track_id + 1);
    auto renames = std::make_shared<std::unordered_map<uint32_t, uint32_t>>();
    for (auto& t : second) {
        if (!taken.count(t.track_id)) continue;
        renames->try_emplace(t.track_id, next);
        t.track_id = next++;
    }
    for (auto& t : second) t.tref_renames = renames;
}

}  // namespace

Result<Movie> muxed_movie(ByteSpan video, ByteSpan audio) {
    Mp4Tracks first = MORVEX_TRY(readable_tracks(video));
    Mp4Tracks second = MORVEX_TRY(readable_tracks(audio));
    if (first.tracks.empty() && second.tracks.empty()) return invalid(msg::kNoTracksToMux);
    renumber_second(first.tracks, second.tracks);
    Movie movie{ByteSpan(kRebuiltFtyp), first.moov.bytes, first.movie_timescale, std::move(first.tracks)};
    for (auto& t : second.tracks) {
        // Edits count in the movie timescale of their own file.
        for (auto& e : t.edits) e.segment_duration = scale_duration(e.segment_duration, second.movie_timescale, movie.timescale);
        movie.tracks.push_back(std::move(t));
    }
    // A video and an audio file of one presentation (a DASH pair) share
    // the timeline of their fragments.
    keep_track_offsets(movie.tracks, movie.timescale);
    return movie;
}

Result<PlannedOutput> plan_mux_fmp4_tracks(ByteSpan video, ByteSpan audio) {
    return plan_regular_mp4(std::make_shared<const Movie>(MORVEX_TRY(muxed_movie(video, audio))));
}

Result<Bytes> mux_fmp4_tracks(ByteSpan video, ByteSpan audio) {
    return MORVEX_TRY(plan_mux_fmp4_tracks(video, audio)).to_bytes();
}

}  // namespace morvex
