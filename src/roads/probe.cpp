#include "roads/probe.h"

#include <algorithm>
#include <limits>

#include "isobmff/fourcc.h"
#include "media/presentation.h"
#include "roads/movie_input.h"

namespace morvex {

Result<MovieFacts> probe(ByteSpan data, std::string& report) {
    if (data.empty()) return invalid("Nothing to probe: the input is empty");
    auto input = MORVEX_TRY(read_movie(data, report));
    const Movie& m = input->movie;
    MovieFacts facts;
    facts.format = input->format == InputFormat::Ts ? "mpegts" : input->format == InputFormat::Fragmented ? "fmp4" : "mp4";
    double first = std::numeric_limits<double>::infinity(), last = -first;
    for (size_t k = 0; k < m.tracks.size(); ++k) {
        const Track& t = m.tracks[k];
        if (t.handler != box::vide && t.handler != box::soun) continue;
        TrackFacts f;
        f.id = k < input->ids.size() ? input->ids[k] : t.track_id;
        f.video = t.handler == box::vide;
        f.stream = MORVEX_TRY(describe_track(t.trak));
        const TrackPresentation p = presentation_of(t, m.timescale);
        const SampleTimes times = sample_times(t);
        uint64_t bytes = 0;
        for (const auto& s : t.samples) {
            bytes += s.size;
            f.key_frames += s.sync;
        }
        f.frames = t.samples.size();
        if (auto span = shown_span(t, p, times)) {
            f.start_time = input->origin + span->begin;
            f.duration = span->end - span->begin;
            first = std::min(first, f.start_time);
            last = std::max(last, f.start_time + f.duration);
        }
        if (f.duration > 0) {
            f.bitrate = double(bytes) * 8 / f.duration;
            if (f.video) f.frame_rate = double(f.frames) / f.duration;
        }
        facts.tracks.push_back(std::move(f));
    }
    if (first <= last) facts.duration = last - first;
    return facts;
}

}  // namespace morvex
