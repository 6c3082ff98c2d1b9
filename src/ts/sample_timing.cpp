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

int64_t Timeline::settled_shift() const {
    int64_t sum = 0;
    for (const auto& j : joins)
        if (j.settled) sum += *j.settled;
    return sum;
}

size_t add_participant(Timeline& t) {
    t.active.push_back(true);
    return t.active.size() - 1;
}

std::optional<int64_t> join_move(Timeline& t, size_t who, size_t k, int64_t own, bool force) {
    if (k >= t.joins.size()) t.joins.resize(k + 1);
    Timeline::Join& j = t.joins[k];
    if (j.settled) return j.settled;
    if (j.moves.size() < t.active.size()) j.moves.resize(t.active.size());
    j.moves[who] = own;
    bool all = !t.pending;
    int64_t largest = own;
    for (size_t p = 0; p < t.active.size(); ++p) {
        if (!j.moves[p]) {
            all = all && !t.active[p];
            continue;
        }
        largest = std::max(largest, *j.moves[p]);
    }
    if (all || force) j.settled = largest;
    return j.settled;
}

void add_picture(VideoClock& c, RawPicture p) {
    // The most common positive step between consecutive known DTS values,
    // shared out among the pictures without one between them (ties go to
    // the shorter step).
    if (p.dts) {
        const int64_t between = int64_t(c.untimed_since) + 1;
        if (c.last_raw_dts && *p.dts > *c.last_raw_dts && *p.dts - *c.last_raw_dts <= int64_t(kTsClock) * between &&
            (*p.dts - *c.last_raw_dts) % between == 0) {
            const int64_t d = (*p.dts - *c.last_raw_dts) / between;
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
        c.untimed_since = 0;
    } else if (c.untimed_since < kAnchorWait) {
        ++c.untimed_since;
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
                const auto move = join_move(timeline, c.participant, c.joins, prev + step - dts, force);
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
        // Presented where its order count puts it after the anchor. A frame
        // counted odd shows an encoder that counts one a frame.
        if (r.unit.odd_frame_count) c.orders_per_frame = 1;
        const auto& order = r.unit.order;
        if (order && c.anchor && c.anchor->period == r.unit.period) {
            const int64_t counts = *order - c.anchor->order;
            if (counts > -(int64_t(1) << 20) && counts < (int64_t(1) << 20))
                pts = c.anchor->pts + counts * step / c.orders_per_frame;
        }
    }
    if (c.prev_dts && dts <= *c.prev_dts) {
        // A DTS that does not advance (damaged or repeated timestamps): the
        // composition offset is kept, the decode order holds.
        const int64_t bump = *c.prev_dts + 1 - dts;
        dts += bump;
        pts += bump;
    }
    c.prev_dts = dts;
    if (r.unit.order && r.pts && c.anchor && c.anchor->period == r.unit.period && *r.unit.order != c.anchor->order) {
        // Two timed pictures tell how many counts a frame takes (two as
        // encoders count frames of two fields, or one).
        const int64_t counts = *r.unit.order - c.anchor->order, ticks = pts - c.anchor->pts;
        const bool sane = counts > -(int64_t(1) << 20) && counts < (int64_t(1) << 20) && ticks > -kMaxGap && ticks < kMaxGap;
        if (sane && ticks != 0 && (ticks > 0) == (counts > 0)) {
            const int64_t per_frame = (2 * step * counts / ticks + 1) / 2;
            if (per_frame == 1 || per_frame == 2) c.orders_per_frame = uint8_t(per_frame);
        }
    }
    if (r.unit.order && (r.pts || !c.anchor || c.anchor->period != r.unit.period))
        c.anchor = OrderAnchor{r.unit.period, *r.unit.order, pts};
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
        c.first += c.shift;  // a track that begins after joins starts with their moves
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
                const auto settled = join_move(timeline, c.participant, c.joins, own_90k, force);
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
