#include "ts/sample_timing.h"

#include <algorithm>

#include "ts/timestamps.h"

namespace morvex {
namespace {

// A jump forwards of more than this within a stream is not a gap but a new
// piece of timeline (two recordings joined, an HLS discontinuity).
constexpr int64_t kMaxGap = 5 * int64_t(kTsClock);
// How long a track waits for the other at a join, and how many untimed
// units wait for the first timestamp, at the most.
constexpr int64_t kJoinWait = 5;  // seconds
constexpr size_t kAnchorWait = 300;
// Distinct DTS steps counted for the most common one; a stream with more
// has no usual step to find.
constexpr size_t kStepKinds = 256;

}  // namespace

std::optional<int64_t> join_move(Timeline& t, bool video, size_t k, int64_t own, bool force) {
    if (k >= t.joins.size()) t.joins.resize(k + 1);
    Timeline::Join& j = t.joins[k];
    if (j.settled) return j.settled;
    (video ? j.video : j.audio) = own;
    const std::optional<int64_t> other = video ? j.audio : j.video;
    const bool other_takes_part = video ? (t.audio || t.audio_open) : t.video;
    if (other) j.settled = std::max(own, *other);
    else if (!other_takes_part || force) j.settled = own;
    return j.settled;
}

void add_picture(VideoClock& c, RawPicture p) {
    // The most common positive step between consecutive known DTS values
    // (ties go to the shorter step).
    if (p.dts) {
        if (c.last_raw_dts && *p.dts > *c.last_raw_dts && *p.dts - *c.last_raw_dts <= int64_t(kTsClock)) {
            const int64_t d = *p.dts - *c.last_raw_dts;
            auto it = c.steps.find(d);
            if (it == c.steps.end() && c.steps.size() < kStepKinds) it = c.steps.emplace(d, 0).first;
            if (it != c.steps.end()) {
                const uint32_t n = ++it->second;
                if (n > c.common_count || (n == c.common_count && d < c.common_step)) {
                    c.common_count = n;
                    c.common_step = d;
                }
            }
        }
        c.last_raw_dts = p.dts;
    } else {
        c.last_raw_dts.reset();
    }
    c.waiting.push_back(std::move(p));
}

bool place_next_picture(VideoClock& c, Timeline& timeline, int64_t reference, bool final, PlacedPicture* out) {
    if (c.waiting.empty()) return false;
    const int64_t step = c.step();
    if (!c.anchored) {
        size_t f = 0;
        while (f < c.waiting.size() && !c.waiting[f].dts) ++f;
        if (f == c.waiting.size()) {
            if (!final && c.waiting.size() < kAnchorWait) return false;
            c.origin = reference;
            c.usual_offset = 0;
        } else {
            c.origin = *c.waiting[f].dts - int64_t(f) * step;
            c.usual_offset = *c.waiting[f].pts - *c.waiting[f].dts;
        }
        c.anchored = true;
    }
    const RawPicture& r = c.waiting.front();
    int64_t dts, pts;
    if (r.dts) {
        dts = *r.dts + c.shift;
        pts = *r.pts + c.shift;
        if (c.seen_timed && c.prev_dts) {
            const int64_t prev = *c.prev_dts;
            const bool jump = r.discontinuity || dts > prev + kMaxGap || dts <= prev - step;
            if (jump) {
                const bool force = final || int64_t(c.waiting.size()) * step > kJoinWait * int64_t(kTsClock);
                const auto move = join_move(timeline, true, c.joins, prev + step - dts, force);
                if (!move) return false;
                ++c.joins;
                c.shift += *move;
                dts += *move;
                pts += *move;
            }
        }
        c.seen_timed = true;
    } else {
        dts = c.prev_dts ? *c.prev_dts + step : c.origin;
        pts = dts + c.usual_offset;
    }
    if (c.prev_dts && dts <= *c.prev_dts) {
        // A DTS that does not advance (damaged or repeated timestamps): the
        // composition offset is kept, the decode order holds.
        const int64_t bump = *c.prev_dts + 1 - dts;
        dts += bump;
        pts += bump;
    }
    c.prev_dts = dts;
    *out = PlacedPicture{r.unit, dts, pts};
    c.waiting.pop_front();
    return true;
}

bool place_next_frame(AudioClock& c, Timeline& timeline, bool final, PlacedFrame* out) {
    if (c.waiting.empty()) return false;
    const int64_t ft = c.frame_ticks;
    const int64_t ts = c.timescale;
    if (!c.anchored) {
        size_t f = 0;
        while (f < c.waiting.size() && !c.waiting[f].time) ++f;
        if (f == c.waiting.size()) {
            if (!final && c.waiting.size() < kAnchorWait) return false;
            c.first = 0;
        } else {
            // Frames before the first timed one are placed back from it.
            c.first = *c.waiting[f].time + int64_t(c.waiting[f].frame.index) * ft - int64_t(f) * ft;
        }
        c.anchored = true;
    }
    const RawFrame& r = c.waiting.front();
    std::optional<int64_t> actual;
    if (r.time) actual = *r.time + c.shift + int64_t(r.frame.index) * ft;
    int64_t t = c.first;
    if (c.prev) {
        const int64_t prev = *c.prev;
        const int64_t expected = prev + ft;
        const int64_t tolerance = ts / 2000 + 1;
        const int64_t max_gap = kMaxGap / kTsClock * ts;
        t = expected;
        if (actual) {
            const bool new_piece = r.frame.index == 0 && ((r.discontinuity && *actual != expected) ||
                                                          *actual > expected + max_gap || *actual < expected - ft);
            if (new_piece) {
                const int64_t own = expected - *actual;
                const int64_t own_90k = own * int64_t(kTsClock) / ts;
                const bool force = final || int64_t(c.waiting.size()) * ft > kJoinWait * ts;
                const auto settled = join_move(timeline, false, c.joins, own_90k, force);
                if (!settled) return false;
                const int64_t v = *settled;
                const int64_t move = v == own_90k ? own : (v * ts + (v >= 0 ? 45000 : -45000)) / int64_t(kTsClock);
                ++c.joins;
                c.shift += move;
                t = std::max(prev + 1, *actual + move);
            } else if ((*actual > expected + tolerance || *actual < expected - tolerance) && *actual > prev) {
                t = *actual;  // a gap (or an overlap) in the source stays
            }
        }
    }
    c.prev = t;
    *out = PlacedFrame{r.frame, t};
    c.waiting.pop_front();
    return true;
}

}  // namespace morvex
