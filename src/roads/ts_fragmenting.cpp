#include "roads/ts_fragmenting.h"

#include <algorithm>

#include "isobmff/time_headers.h"
#include "ts/timestamps.h"

namespace morvex {
namespace {

uint32_t timescale_of(const TsReader& r, int source) {
    return source == kVideoSource ? kTsClock : r.audio[size_t(source)].clock.timescale;
}

uint64_t samples_given(const TsReader& r) {
    uint64_t n = r.video.out.count;
    for (const TsAudio& a : r.audio) n += a.out.count;
    return n;
}

// A track starts at its delay after the programme's first instant; the
// samples of a track that joins later and reach back before it are left
// out.
void add_fragmenter_track(TsFragmenting& f, size_t k) {
    TsReader& r = f.reader;
    const int source = f.movie->sources[k];
    TsTrackOutput& out = ts_track_output(r, source);
    const uint32_t timescale = timescale_of(r, source);
    while (!out.samples.empty() && *out.first_time < f.base) {
        out.first_ticks += out.samples.front().duration;
        out.first_time = out.first_ticks * int64_t(kTsClock) / int64_t(timescale);
        out.samples.erase(out.samples.begin());
    }
    const uint64_t delay = uint64_t(std::max<int64_t>(*out.first_time - f.base, 0));
    fragmenter_add_track(f.fragmenter, &f.movie->movie.tracks[k], scale_duration(delay, kTsClock, timescale));
}

Result<void> start_movie(TsFragmenting& f) {
    TsReader& r = f.reader;
    f.movie = MORVEX_TRY(ts_movie(r, true, ts_track_sources(r, true)));
    f.init = MORVEX_TRY(build_init_segment(f.movie->movie.tracks, f.movie->movie.timescale));
    f.base = ts_base_time(*f.movie, r);
    for (size_t k = 0; k < f.movie->sources.size(); ++k) add_fragmenter_track(f, k);
    return {};
}

// Tracks that began since the movie was made join it, behind the others,
// while no fragment has come out.
Result<void> add_late_tracks(TsFragmenting& f) {
    TsReader& r = f.reader;
    std::vector<int> sources = f.movie->sources;
    const size_t before = sources.size();
    const bool has_audio = std::any_of(sources.begin(), sources.end(), [](int k) { return k != kVideoSource; });
    for (int k : ts_track_sources(r, true))
        if (std::find(sources.begin(), sources.end(), k) == sources.end() && !(has_audio && k != kVideoSource))
            sources.push_back(k);
    if (sources.size() == before) return {};
    f.movie = MORVEX_TRY(ts_movie(r, true, sources));
    f.init = MORVEX_TRY(build_init_segment(f.movie->movie.tracks, f.movie->movie.timescale));
    for (size_t k = 0; k < before; ++k) f.fragmenter.tracks[k].track = &f.movie->movie.tracks[k];
    for (size_t k = before; k < sources.size(); ++k) add_fragmenter_track(f, k);
    return {};
}

// Audio waiting for a video that does not begin is kept for ten seconds at
// the most: it cannot be written before the video.
void drop_waiting_audio(TsReader& r) {
    for (TsAudio& a : r.audio) {
        TsTrackOutput& audio = a.out;
        uint64_t span = 0;
        for (const Sample& s : audio.samples) span += s.duration;
        const uint64_t limit = 10 * uint64_t(a.clock.timescale);
        size_t drop = 0;
        while (drop < audio.samples.size() && span > limit) {
            span -= audio.samples[drop].duration;
            audio.first_ticks += audio.samples[drop++].duration;
        }
        if (drop == 0) continue;
        audio.samples.erase(audio.samples.begin(), audio.samples.begin() + ptrdiff_t(drop));
        audio.first_time = audio.first_ticks * int64_t(kTsClock) / int64_t(a.clock.timescale);
    }
}

// Hands the samples the reader gave out to the fragmenter, and takes the
// fragments now complete.
Result<void> advance(TsFragmenting& f, std::vector<MovieFragment>& out) {
    TsReader& r = f.reader;
    if (!f.movie) {
        if (!ts_tracks_known(r) || ts_track_sources(r).empty() || (ts_has_video(r) && !r.video.out.first_time)) {
            drop_waiting_audio(r);
            return {};
        }
        MORVEX_CHECK(start_movie(f));
    } else if (!f.written) {
        MORVEX_CHECK(add_late_tracks(f));
    }
    TsMovie& m = *f.movie;
    for (size_t k = 0; k < m.sources.size(); ++k) {
        TsTrackOutput& o = ts_track_output(r, m.sources[k]);
        for (const Sample& s : o.samples) fragmenter_add(f.fragmenter, k, s);
        o.samples.clear();
    }
    // The samples of a track that is not in the movie wait to join it; once
    // a fragment is out, or the movie has its audio track, it cannot, and is
    // left out.
    const bool has_audio = std::any_of(m.sources.begin(), m.sources.end(), [](int k) { return k != kVideoSource; });
    for (size_t k = 0; k < r.audio.size(); ++k) {
        if (std::find(m.sources.begin(), m.sources.end(), int(k)) != m.sources.end()) continue;
        TsAudio& a = r.audio[k];
        if (!f.written && !has_audio) continue;
        if (!a.out.samples.empty() &&
            std::find(r.left_out.begin(), r.left_out.end(), a.pid) == r.left_out.end())
            r.left_out.push_back(a.pid);
        a.out.samples.clear();
    }
    for (auto& fragment : fragmenter_take(f.fragmenter, r.ended)) {
        out.push_back(std::move(fragment));
        f.written = true;
    }
    return {};
}

}  // namespace

Result<void> fragment_ts(TsFragmenting& f, const StreamBytes& s, std::vector<MovieFragment>& out) {
    TsReader& r = f.reader;
    while (read_ts_packet(r, s)) {
        const uint64_t given = samples_given(r);
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
    const Sample* video = nullptr;
    std::vector<std::optional<uint64_t>> audio(r.audio.size());
    if (f.movie)
        for (size_t k = 0; k < f.movie->sources.size(); ++k) {
            const Sample* s = fragmenter_first(f.fragmenter, k);
            if (!s) continue;
            if (f.movie->sources[k] == kVideoSource) video = s;
            else audio[size_t(f.movie->sources[k])] = s->offset;
        }
    drop_taken(r, video, audio);
    return ts_input_needed_from(r);
}

}  // namespace morvex
