#include "media/presentation.h"

#include <algorithm>

namespace morvex {

TrackPresentation presentation_of(const Track& t, uint32_t movie_timescale) {
    TrackPresentation p;
    p.timescale = t.timescale ? t.timescale : 1;
    const double movie = movie_timescale ? double(movie_timescale) : 1.0;
    for (const auto& e : t.edits) {
        if (e.media_time == -1) {
            p.delay += double(e.segment_duration) / movie;
            continue;
        }
        p.media_time = e.media_time;
        // A duration of 0 stands for the whole media (a fragmented file's).
        if (e.segment_duration != 0) p.shown = double(e.segment_duration) / movie;
        break;
    }
    return p;
}

SampleTimes sample_times(const Track& t) {
    SampleTimes times;
    times.decode.resize(t.samples.size());
    int64_t dts = 0;
    for (size_t i = 0; i < t.samples.size(); ++i) {
        times.decode[i] = dts;
        dts += t.samples[i].duration;
    }
    return times;
}

std::optional<ShownSpan> shown_span(const Track& t, const TrackPresentation& p, const SampleTimes& times) {
    std::optional<ShownSpan> span;
    for (size_t i = 0; i < t.samples.size(); ++i) {
        const int64_t pts = times.composition(t, i);
        const int64_t end = pts + t.samples[i].duration;
        if (end <= p.media_time) continue;  // hidden in front of the edit
        const double begin = p.at(std::max(pts, p.media_time));
        if (!span) span = ShownSpan{begin, p.at(end), i};
        if (begin < span->begin) span->begin = begin, span->first = i;
        span->end = std::max(span->end, p.at(end));
    }
    if (span && p.shown) span->end = std::min(span->end, p.delay + *p.shown);
    return span;
}

}  // namespace morvex
