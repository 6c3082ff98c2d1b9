#include "ts/sample_timing.h"

#include <algorithm>
#include <map>

namespace morvex {
namespace {

// A jump forwards of more than this within a stream is not a gap but a new
// piece of timeline (two recordings joined, an HLS discontinuity).
constexpr int64_t kMaxGap = 5 * int64_t(kTsClock);

struct UnitTime {
    std::optional<int64_t> pts, dts;
    bool discontinuity = false;  // its PES began with discontinuity_indicator set
};

// The timestamps each unit takes from the PES in which it begins.
std::vector<UnitTime> unit_timestamps(const ElementaryStream& es, const AccessUnits& units, int64_t reference) {
    std::vector<UnitTime> times(units.units.size());
    Unwrapper unwrap{reference};
    size_t r = 0;                     // the PES in which the current unit begins
    std::optional<size_t> last_used;  // the PES whose timestamps a unit took last
    for (size_t i = 0; i < units.units.size(); ++i) {
        const size_t start = units.units[i].start;
        while (r + 1 < es.pes.size() && es.pes[r + 1].offset <= start) ++r;
        if (es.pes.empty() || es.pes[r].offset > start || last_used == r) continue;
        const PesMark& mark = es.pes[r];
        const PesTimestamps& ts = mark.timestamps;
        if (!ts.pts && !ts.dts) continue;
        last_used = r;
        times[i].discontinuity = mark.discontinuity;
        if (ts.pts) times[i].pts = unwrap(*ts.pts);
        if (ts.dts) times[i].dts = unwrap_timestamp(*ts.dts, times[i].pts.value_or(*unwrap.last));
        if (!ts.pts) times[i].pts = times[i].dts;
        if (!times[i].dts) times[i].dts = times[i].pts;
    }
    return times;
}

// The most common positive step between consecutive known DTS values.
uint32_t common_step(const std::vector<UnitTime>& times) {
    std::map<int64_t, size_t> counts;
    bool have_previous = false;
    int64_t previous = 0;
    for (const auto& t : times) {
        if (!t.dts) {
            have_previous = false;
            continue;
        }
        if (have_previous && *t.dts > previous && *t.dts - previous <= 90000) ++counts[*t.dts - previous];
        previous = *t.dts;
        have_previous = true;
    }
    size_t best = 0;
    int64_t step = 3000;
    for (const auto& [d, n] : counts)
        if (n > best) best = n, step = d;
    return uint32_t(step);
}

}  // namespace

std::optional<int64_t> programme_reference(const TsProgram& program) {
    for (const auto& p : program.video.pes)
        if (p.timestamps.pts) return int64_t(*p.timestamps.pts);
    for (const auto& p : program.audio.pes)
        if (p.timestamps.pts) return int64_t(*p.timestamps.pts);
    return std::nullopt;
}

TimedSamples video_sample_timing(const ElementaryStream& es, const AccessUnits& units,
                                 std::optional<uint32_t> frame_duration, int64_t reference, size_t first_unit,
                                 const std::vector<int64_t>& least_jumps) {
    TimedSamples out;
    const size_t n = units.units.size();
    if (first_unit >= n) return out;
    std::vector<UnitTime> times = unit_timestamps(es, units, reference);
    const int64_t step = frame_duration ? *frame_duration : common_step(times);

    // Decode times: known ones as they are, the others one frame after the
    // unit before (or before the first known one); always increasing.
    std::vector<int64_t> dts(n), pts(n);
    size_t first_known = n;
    for (size_t i = 0; i < n; ++i)
        if (times[i].dts) {
            first_known = i;
            break;
        }
    const int64_t origin = first_known < n ? *times[first_known].dts - int64_t(first_known) * step : reference;
    // A unit without timestamps is taken to be presented as far behind its
    // decode time as the first timed one.
    const int64_t usual_offset = first_known < n ? *times[first_known].pts - *times[first_known].dts : 0;
    int64_t shift = 0;  // moves each new piece of timeline to where the last one ended
    for (size_t i = 0; i < n; ++i) {
        if (times[i].dts && i >= first_known) {
            dts[i] = *times[i].dts + shift;
            pts[i] = *times[i].pts + shift;
            if (i > first_known) {
                const int64_t expected = dts[i - 1] + step;
                const bool jump = times[i].discontinuity || dts[i] > dts[i - 1] + kMaxGap || dts[i] <= dts[i - 1] - step;
                if (jump) {
                    const size_t j = out.jumps.size();
                    const int64_t move = std::max(expected - dts[i], j < least_jumps.size() ? least_jumps[j] : INT64_MIN);
                    out.jumps.push_back(move);
                    shift += move;
                    pts[i] += move;
                    dts[i] += move;
                }
            }
        } else {
            dts[i] = i == 0 ? origin : dts[i - 1] + step;
            pts[i] = dts[i] + usual_offset;
        }
        if (i > 0 && dts[i] <= dts[i - 1]) {
            // A DTS that does not advance (damaged or repeated timestamps):
            // the composition offset is kept, the decode order holds.
            const int64_t bump = dts[i - 1] + 1 - dts[i];
            dts[i] += bump;
            pts[i] += bump;
        }
    }
    out.first_time = pts[first_unit];
    out.samples.resize(n - first_unit);
    const int64_t first_offset = pts[first_unit] - dts[first_unit];
    for (size_t i = first_unit; i < n; ++i) {
        Sample& s = out.samples[i - first_unit];
        const AccessUnit& u = units.units[i];
        s.size = u.bytes;
        s.sync = u.idr;
        s.first_nal = u.first_nal;
        s.nal_count = u.nal_count;
        const int64_t next = i + 1 < n ? dts[i + 1] : dts[i] + (i > 0 ? dts[i] - dts[i - 1] : step);
        s.duration = uint32_t(std::clamp<int64_t>(next - dts[i], 1, UINT32_MAX));
        // Relative to the first sample's, so sample 0 is presented at media
        // time 0.
        s.composition_offset = int32_t(std::clamp<int64_t>(pts[i] - dts[i] - first_offset, INT32_MIN, INT32_MAX));
    }
    return out;
}

TimedSamples audio_sample_timing(const TsProgram& program, uint32_t timescale, uint32_t frame_ticks,
                                 int64_t reference, std::optional<int64_t> start,
                                 const std::vector<int64_t>& video_jumps) {
    TimedSamples out;
    const auto& frames = program.audio_frames;
    if (frames.empty()) return out;
    const auto& pes = program.audio.pes;
    Unwrapper unwrap{reference};
    std::vector<std::optional<int64_t>> pes_time(pes.size());  // in `timescale`
    for (size_t j = 0; j < pes.size(); ++j) {
        if (!pes[j].timestamps.pts) continue;
        const int64_t t = unwrap(*pes[j].timestamps.pts);
        pes_time[j] = (t * int64_t(timescale) + (t >= 0 ? 45000 : -45000)) / 90000;
    }
    const int64_t tolerance = timescale / 2000 + 1;
    const int64_t max_gap = kMaxGap / kTsClock * timescale;
    std::vector<int64_t> t(frames.size());
    int64_t shift = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const AudioFrame& f = frames[i];
        std::optional<int64_t> actual;
        if (f.pes != kNoPes && pes_time[f.pes]) actual = *pes_time[f.pes] + shift + int64_t(f.index) * frame_ticks;
        if (i == 0) {
            t[i] = actual.value_or(0);
            if (!actual) {
                // Frames before the first timed one: placed back from it.
                for (size_t k = 1; k < frames.size(); ++k)
                    if (frames[k].pes != kNoPes && pes_time[frames[k].pes]) {
                        t[i] = *pes_time[frames[k].pes] + int64_t(frames[k].index) * frame_ticks -
                               int64_t(k) * frame_ticks;
                        break;
                    }
            }
            continue;
        }
        const int64_t expected = t[i - 1] + frame_ticks;
        t[i] = expected;
        if (!actual) continue;
        const bool new_piece = f.index == 0 && ((pes[f.pes].discontinuity && *actual != expected) ||
                                                *actual > expected + max_gap || *actual < expected - frame_ticks);
        if (new_piece) {
            const size_t k = out.jumps.size();
            const int64_t move = k < video_jumps.size()
                                     ? (video_jumps[k] * int64_t(timescale) + (video_jumps[k] >= 0 ? 45000 : -45000)) / 90000
                                     : expected - *actual;  // continue where the last piece ended
            out.jumps.push_back(move);
            shift += move;
            t[i] = std::max(t[i - 1] + 1, *actual + move);
        } else if ((*actual > expected + tolerance || *actual < expected - tolerance) && *actual > t[i - 1]) {
            t[i] = *actual;  // a gap (or an overlap) in the source stays
        }
    }
    // Frames presented before `start` (90 kHz) are left out.
    size_t first = 0;
    if (start)
        while (first < frames.size() && t[first] * int64_t(kTsClock) < *start * int64_t(timescale)) ++first;
    if (first == frames.size()) return out;
    out.first_time = t[first] * int64_t(kTsClock) / int64_t(timescale);
    out.samples.resize(frames.size() - first);
    for (size_t i = first; i < frames.size(); ++i) {
        Sample& s = out.samples[i - first];
        s.offset = frames[i].offset;
        s.size = frames[i].size;
        s.sync = true;
        s.duration = i + 1 < frames.size() ? uint32_t(t[i + 1] - t[i]) : frame_ticks;
    }
    return out;
}

}  // namespace morvex
