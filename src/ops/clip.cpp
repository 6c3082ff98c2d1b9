#include "ops/clip.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "isobmff/fourcc.h"
#include "media/presentation.h"
#include "ops/slice.h"

namespace morvex {
namespace {

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

struct Timed {
    TrackPresentation p;
    SampleTimes times;
    std::optional<ShownSpan> span;

    double start(const Track& t, size_t i) const { return p.at(times.composition(t, i)); }
    double end(const Track& t, size_t i) const { return start(t, i) + double(t.samples[i].duration) / p.timescale; }
};

}  // namespace

Result<Movie> clip_movie(const Movie& in, const ClipRange& r) {
    if (!(r.start >= 0)) return invalid("Clip start " + seconds(r.start) + " s is negative");
    if (r.end && !(*r.end > r.start))
        return invalid("Clip end " + seconds(*r.end) + " s is not after its start " + seconds(r.start) + " s");
    std::vector<Timed> timed;
    double first = std::numeric_limits<double>::infinity(), last = -first;
    for (const auto& t : in.tracks) {
        Timed x{presentation_of(t, in.timescale), sample_times(t), std::nullopt};
        x.span = shown_span(t, x.p, x.times);
        if (x.span) first = std::min(first, x.span->begin), last = std::max(last, x.span->end);
        timed.push_back(std::move(x));
    }
    if (!(first <= last)) return invalid("Nothing to clip: the input shows no sample");
    const double from = first + r.start;
    const double to = r.end ? first + *r.end : std::numeric_limits<double>::infinity();
    if (from >= last)
        return invalid("Clip start " + seconds(r.start) + " s lies at or past the end of the input (" +
                       seconds(last - first) + " s)");

    // The lead: the first video track that shows samples, else the first
    // track that does.
    size_t lead = in.tracks.size();
    for (size_t k = 0; k < in.tracks.size() && lead == in.tracks.size(); ++k)
        if (timed[k].span && in.tracks[k].handler == box::vide) lead = k;
    for (size_t k = 0; k < in.tracks.size() && lead == in.tracks.size(); ++k)
        if (timed[k].span) lead = k;
    const Track& v = in.tracks[lead];
    const Timed& vt = timed[lead];
    // The key frame: the last one shown at or before the start, else the
    // first one.
    std::optional<size_t> key;
    for (size_t i = 0; i < v.samples.size(); ++i) {
        if (!v.samples[i].sync) continue;
        const double at = vt.start(v, i);
        if (at <= from + 1e-9 && (!key || at >= vt.start(v, *key))) key = i;
    }
    if (!key)
        for (size_t i = 0; i < v.samples.size() && !key; ++i)
            if (v.samples[i].sync) key = i;
    const size_t k0 = key.value_or(vt.span->first);
    // Through the last picture that begins before the end (in decode order,
    // with what those pictures need).
    // Exact: from the picture on screen at the start (the last one shown at
    // or before it), which players show first.
    double begin = vt.start(v, k0);
    if (r.exact)
        for (size_t i = k0; i < v.samples.size(); ++i) {
            const double at = vt.start(v, i);
            if (at <= from + 1e-9 && at > begin) begin = at;
        }
    size_t k1 = k0;
    double end = vt.end(v, k0);
    // The last picture stays on screen until the next one begins: past its
    // own duration when the source leaves a gap, up to the end asked for.
    double next = std::numeric_limits<double>::infinity();
    for (size_t i = k0; i < v.samples.size(); ++i) {
        const double at = vt.start(v, i);
        if (at >= to) next = std::min(next, at);
        if (at >= to || at < begin - 1e-9) continue;
        k1 = std::max(k1, i);
        end = std::max(end, vt.end(v, i));
    }
    if (next < std::numeric_limits<double>::infinity()) end = std::max(end, std::min(to, next));
    // Exact: the presentation lasts end - start.
    if (r.exact && r.end) end = std::min(end, begin + (*r.end - r.start));
    if (vt.span) end = std::min(end, vt.span->end);

    struct Range {
        size_t a, b;
        double shown_begin, shown_end;
    };
    std::vector<std::optional<Range>> ranges(in.tracks.size());
    ranges[lead] = Range{k0, k1, begin, end};
    for (size_t k = 0; k < in.tracks.size(); ++k) {
        if (k == lead || !timed[k].span) continue;
        const Track& t = in.tracks[k];
        std::optional<size_t> a, b;
        for (size_t i = 0; i < t.samples.size(); ++i)
            if (timed[k].end(t, i) > begin + 1e-9 && timed[k].start(t, i) < end - 1e-9) {
                if (!a) a = i;
                b = i;
            }
        if (!a) continue;
        // Exact: the span of the source the lead shows, from the picture on
        // screen at the start, for end - start.
        const double shown_begin = r.exact ? std::max(begin, timed[k].start(t, *a)) : timed[k].start(t, *a);
        const double shown_end = r.exact ? std::min(end, timed[k].end(t, *b)) : timed[k].end(t, *b);
        ranges[k] = Range{*a, *b, shown_begin, shown_end};
    }
    // The clip's timeline starts at its earliest track.
    double origin = std::numeric_limits<double>::infinity();
    for (const auto& range : ranges)
        if (range) origin = std::min(origin, range->shown_begin);

    Movie out{in.ftyp, in.moov, in.timescale, {}};
    const double movie = in.timescale;
    for (size_t k = 0; k < in.tracks.size(); ++k) {
        if (!ranges[k]) continue;
        const Range& range = *ranges[k];
        const Track& t = in.tracks[k];
        const Timed& x = timed[k];
        Track c = slice_track(t, range.a, range.b + 1);
        // The media time shown first: on the clip's own decode timeline,
        // which starts at its first sample.
        const double media = (range.shown_begin - x.p.delay) * x.p.timescale + double(x.p.media_time) -
                             double(x.times.decode[range.a]);
        const int64_t media_time = std::max<int64_t>(0, std::llround(media));
        const uint64_t delay = uint64_t(std::llround((range.shown_begin - origin) * movie));
        const uint64_t shown = uint64_t(std::max<int64_t>(1, std::llround((range.shown_end - range.shown_begin) * movie)));
        c.edits.clear();
        if (delay > 0) c.edits.push_back(Edit{delay, -1, 0x00010000});
        c.edits.push_back(Edit{shown, media_time, 0x00010000});
        out.tracks.push_back(std::move(c));
    }
    return out;
}

}  // namespace morvex
