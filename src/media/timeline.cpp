#include "media/timeline.h"

#include <algorithm>
#include <optional>

namespace morvex {

void keep_track_offsets(std::vector<Track>& tracks, uint32_t movie_timescale) {
    std::optional<double> earliest;
    for (const auto& t : tracks)
        if (t.start_time && !t.samples.empty() && t.timescale) {
            const double s = double(signed_time(*t.start_time)) / t.timescale;
            earliest = earliest ? std::min(*earliest, s) : s;
        }
    if (!earliest) return;
    for (auto& t : tracks) {
        if (!t.start_time || t.samples.empty() || !t.timescale) continue;
        const double late = double(signed_time(*t.start_time)) / t.timescale - *earliest;
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

}  // namespace morvex
