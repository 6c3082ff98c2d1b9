#include "roads/ts_fragmenting.h"

#include "isobmff/time_headers.h"
#include "ts/timestamps.h"

namespace morvex {
namespace {

Result<void> start_movie(TsFragmenting& f) {
    TsReader& r = f.reader;
    f.movie = MORVEX_TRY(ts_movie(r, true));
    TsMovie& m = *f.movie;
    f.init = MORVEX_TRY(build_init_segment(m.movie.tracks, m.movie.timescale));
    // Each track starts at its delay after the programme's first instant.
    const int64_t base = ts_base_time(m, r);
    fragmenter_add_track(f.fragmenter, &m.movie.tracks[0], uint64_t(*r.video.out.first_time - base));
    if (m.has_audio) {
        const uint64_t delay = uint64_t(*r.audio.out.first_time - base);
        fragmenter_add_track(f.fragmenter, &m.movie.tracks[1], scale_duration(delay, kTsClock, m.movie.tracks[1].timescale));
    }
    return {};
}

// Hands the samples the reader gave out to the fragmenter, and takes the
// fragments now complete.
Result<void> advance(TsFragmenting& f, std::vector<MovieFragment>& out) {
    TsReader& r = f.reader;
    if (!f.movie) {
        if (!ts_tracks_known(r) || !r.video.out.first_time) {
            // Audio waiting for a video that does not begin is kept for ten
            // seconds at the most: it cannot be written before the video.
            TsTrackOutput& audio = r.audio.out;
            uint64_t span = 0;
            for (const Sample& s : audio.samples) span += s.duration;
            const uint64_t limit = 10 * uint64_t(r.audio.clock.timescale);
            size_t drop = 0;
            while (drop < audio.samples.size() && span > limit) {
                span -= audio.samples[drop].duration;
                audio.first_ticks += audio.samples[drop++].duration;
            }
            if (drop == 0) return {};
            audio.samples.erase(audio.samples.begin(), audio.samples.begin() + ptrdiff_t(drop));
            audio.first_time = audio.first_ticks * int64_t(kTsClock) / int64_t(r.audio.clock.timescale);
            return {};
        }
        MORVEX_CHECK(start_movie(f));
    }
    for (const Sample& s : r.video.out.samples) fragmenter_add(f.fragmenter, 0, s);
    r.video.out.samples.clear();
    if (f.movie->has_audio)
        for (const Sample& s : r.audio.out.samples) fragmenter_add(f.fragmenter, 1, s);
    r.audio.out.samples.clear();
    for (auto& fragment : fragmenter_take(f.fragmenter, r.ended)) out.push_back(std::move(fragment));
    return {};
}

}  // namespace

Result<void> fragment_ts(TsFragmenting& f, const StreamBytes& s, std::vector<MovieFragment>& out) {
    TsReader& r = f.reader;
    while (read_ts_packet(r, s)) {
        const uint64_t given = r.video.out.count + r.audio.out.count;
        if (given == f.taken) continue;
        f.taken = given;
        MORVEX_CHECK(advance(f, out));
    }
    if (!s.final) return {};
    end_ts(r, s);
    return advance(f, out);
}

uint64_t drop_written(TsFragmenting& f) {
    TsReader& r = f.reader;
    std::optional<uint64_t> nal, audio;
    if (f.movie) {
        if (const Sample* s = fragmenter_first(f.fragmenter, 0)) nal = nal_number(r, *s);
        if (f.movie->has_audio)
            if (const Sample* s = fragmenter_first(f.fragmenter, 1)) audio = s->offset;
    }
    drop_taken(r, nal, audio);
    return ts_input_needed_from(r);
}

}  // namespace morvex
