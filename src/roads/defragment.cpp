// Defragmentation: ftyp, a moov with complete sample tables, one mdat.
#include <algorithm>

#include "common/messages.h"
#include "isobmff/time_headers.h"
#include "isobmff/fourcc.h"
#include "media/mp4_tracks.h"
#include "roads/mp4_roads.h"

namespace morvex {
namespace {

// Fragments carry each track's decode times (tfdt); a regular file counts
// every track from 0. A track that starts later than the others on the
// fragments' timeline keeps its place through an empty edit in front.
void keep_track_offsets(std::vector<Track>& tracks, uint32_t movie_timescale) {
    std::optional<double> earliest;
    for (const auto& t : tracks)
        if (t.start_time && !t.samples.empty() && t.timescale) {
            const double s = double(*t.start_time) / t.timescale;
            earliest = earliest ? std::min(*earliest, s) : s;
        }
    if (!earliest) return;
    for (auto& t : tracks) {
        if (!t.start_time || t.samples.empty() || !t.timescale) continue;
        const double late = double(*t.start_time) / t.timescale - *earliest;
        // Decode times are 64-bit: a delay beyond what an edit can say is
        // held at 2^63 rather than converted out of range.
        constexpr double kLongest = 9223372036854775808.0;
        const double ticks = late * movie_timescale + 0.5;
        if (!(ticks >= 1)) continue;  // no delay (or no number, from a timescale of 0)
        const uint64_t delay = uint64_t(std::min(ticks, kLongest));
        if (t.edits.empty())
            t.edits.push_back(Edit{scale_duration(t.presentation_end(), t.timescale, movie_timescale), 0, 0x00010000});
        if (t.edits.front().media_time == -1) {
            uint64_t& empty = t.edits.front().segment_duration;
            empty = delay > UINT64_MAX - empty ? UINT64_MAX : empty + delay;
        } else {
            t.edits.insert(t.edits.begin(), Edit{delay, -1, 0x00010000});
        }
    }
}

}  // namespace

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
