#include "mp4/cmaf_segmenter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "isobmff/fourcc.h"
#include "media/presentation.h"

namespace morvex {
namespace {

// Times are held within ±4e18 ticks, so that their sums and differences
// stay inside 64 bits whatever an input claims.
constexpr int64_t kMostTicks = 4'000'000'000'000'000'000;

int64_t to_ticks(double seconds, uint32_t timescale) {
    const double t = seconds * double(timescale);
    if (!(t == t)) return 0;
    return std::llround(std::clamp(t, -double(kMostTicks), double(kMostTicks)));
}

uint32_t timescale_of(const Track& t) { return t.timescale ? t.timescale : 1; }

bool is_media(const Track& t) { return (t.handler == box::vide || t.handler == box::soun) && !t.samples.empty(); }

// Where a track is first shown on the movie's timeline, in seconds.
double shown_from(const Track& t, uint32_t movie_timescale) {
    const TrackPresentation p = presentation_of(t, movie_timescale);
    const auto span = shown_span(t, p, sample_times(t));
    return span ? span->begin : p.delay;
}

// The decode times of a track and its composition offsets, such that
// sample i is shown at dts_i + composition_offset_i + shift (ticks from
// the timeline's 0), where dts_i counts from sample 0.
void place(CmafTrack& c, uint32_t movie_timescale, double origin) {
    const Track& t = *c.track;
    const TrackPresentation p = presentation_of(t, movie_timescale);
    const int64_t media_time = std::clamp<int64_t>(p.media_time, -kMostTicks, kMostTicks);
    const int64_t shift = to_ticks(p.delay - origin, timescale_of(t)) - media_time;
    const int64_t first_shown = shift + t.samples[0].composition_offset;
    c.decode_start = uint64_t(std::max<int64_t>(0, first_shown));
    c.composition_shift = shift - int64_t(c.decode_start);
}

// The instant (ticks) at which a sample whose decode time is `dts` (from
// sample 0) is shown.
int64_t shown_at(const CmafTrack& c, int64_t dts, const Sample& s) {
    return int64_t(c.decode_start) + dts + c.composition_offset(s);
}

// The lead's segments: a new one at the first sync sample shown at or
// after the next multiple of the segment duration.
std::vector<uint32_t> lead_cuts(const CmafTrack& c, double segment_duration) {
    const Track& t = *c.track;
    // Ticks a segment (at least a thousandth of one, so that the count of
    // segments stays a finite number).
    const double unit = std::max(segment_duration * timescale_of(t), 1e-3);
    // The multiple after an instant (a sample half a tick early is on time,
    // so that 0.3 s is at 3 x 0.1 s), and at least the first.
    auto boundary_after = [unit](int64_t shown) {
        return std::max(1.0, std::floor((double(shown) + 0.5) / unit) + 1) * unit;
    };
    std::vector<uint32_t> cuts{0};
    int64_t dts = 0;
    double boundary = boundary_after(shown_at(c, 0, t.samples[0]));
    for (size_t i = 1; i < t.samples.size(); ++i) {
        dts += t.samples[i - 1].duration;
        const Sample& s = t.samples[i];
        if (!s.sync) continue;
        const int64_t shown = shown_at(c, dts, s);
        if (double(shown) + 0.5 < boundary) continue;
        cuts.push_back(uint32_t(i));
        boundary = boundary_after(shown);
    }
    return cuts;
}

// Another track's segments: each begins at the sample where a segment may
// begin (an audio frame, a sync sample of video) that is shown nearest to
// the instant (seconds) a lead segment begins.
std::vector<uint32_t> follower_cuts(const CmafTrack& c, const std::vector<double>& instants) {
    const Track& t = *c.track;
    const double timescale = timescale_of(t);
    std::vector<std::pair<uint32_t, double>> starts;
    int64_t dts = 0;
    for (size_t i = 0; i < t.samples.size(); ++i) {
        const Sample& s = t.samples[i];
        if (s.sync || t.handler != box::vide) starts.emplace_back(uint32_t(i), double(shown_at(c, dts, s)) / timescale);
        dts += s.duration;
    }
    std::vector<uint32_t> cuts{0};
    size_t k = 0;
    for (double instant : instants) {
        if (starts.empty()) break;
        while (k + 1 < starts.size() && starts[k + 1].second <= instant) ++k;
        size_t pick = k;
        if (k + 1 < starts.size() && starts[k].second < instant &&
            starts[k + 1].second - instant < instant - starts[k].second)
            pick = k + 1;
        if (starts[pick].first > cuts.back()) cuts.push_back(starts[pick].first);
    }
    return cuts;
}

void make_segments(CmafTrack& c, const std::vector<uint32_t>& cuts) {
    const Track& t = *c.track;
    uint64_t dts = c.decode_start;
    for (size_t j = 0; j < cuts.size(); ++j) {
        const uint32_t end = j + 1 < cuts.size() ? cuts[j + 1] : uint32_t(t.samples.size());
        CmafSegment s;
        s.first = cuts[j];
        s.count = end - cuts[j];
        s.decode_time = dts;
        for (uint32_t i = s.first; i < end; ++i) s.duration += t.samples[i].duration;
        dts += s.duration;
        c.segments.push_back(s);
    }
}

}  // namespace

int32_t CmafTrack::composition_offset(const Sample& s) const {
    const int64_t v = int64_t(s.composition_offset) + composition_shift;
    return int32_t(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

std::vector<CmafTrack> cut_cmaf_tracks(const Movie& movie, double segment_duration) {
    std::vector<CmafTrack> out;
    double origin = std::numeric_limits<double>::infinity();
    for (const Track& t : movie.tracks) {
        if (!is_media(t)) continue;
        out.push_back(CmafTrack{&t, 0, 0, {}});
        origin = std::min(origin, shown_from(t, movie.timescale));
    }
    if (out.empty()) return out;
    size_t lead = 0;
    for (size_t k = 0; k < out.size(); ++k)
        if (out[k].track->handler == box::vide) {
            lead = k;
            break;
        }
    for (auto& c : out) place(c, movie.timescale, origin);
    const std::vector<uint32_t> cuts = lead_cuts(out[lead], segment_duration);
    std::vector<double> instants;
    {
        const CmafTrack& c = out[lead];
        int64_t dts = 0;
        size_t next = 1;
        for (size_t i = 0; i < c.track->samples.size() && next < cuts.size(); ++i) {
            if (i == cuts[next]) {
                instants.push_back(double(shown_at(c, dts, c.track->samples[i])) / timescale_of(*c.track));
                ++next;
            }
            dts += c.track->samples[i].duration;
        }
    }
    for (size_t k = 0; k < out.size(); ++k) make_segments(out[k], k == lead ? cuts : follower_cuts(out[k], instants));
    return out;
}

}  // namespace morvex
