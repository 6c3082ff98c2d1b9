#include "roads/probe.h"

#include <algorithm>
#include <limits>

#include "isobmff/fourcc.h"
#include "media/presentation.h"
#include "roads/movie_input.h"

namespace morvex {
namespace {

// MPEG audio in MP4 is one object type for every layer; the first frame's
// header says which (ISO/IEC 11172-3 2.4.1.3: layer 3, 2, 1 as 1, 2, 3).
std::string mpeg_audio_name(const Track& t) {
    const Sample& s = t.samples.front();
    if (s.size < 4 || s.size > (1 << 16)) return "mp3";
    Bytes frame(s.size);
    write_sample(bytes_of(t, 0), s, frame.data());
    if (frame[0] != 0xFF || (frame[1] & 0xE0) != 0xE0) return "mp3";
    switch ((frame[1] >> 1) & 3) {
        case 2: return "mp2";
        case 3: return "mp1";
        default: return "mp3";
    }
}

}  // namespace

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
            first = std::min(first, span->begin);
            last = std::max(last, span->end);
        }
        if (f.duration > 0) {
            f.bitrate = double(bytes) * 8 / f.duration;
            if (f.video) f.frame_rate = double(f.frames) / f.duration;
        }
        if (f.stream.codec == "mp3" && !t.samples.empty()) f.stream.codec = mpeg_audio_name(t);
        facts.tracks.push_back(std::move(f));
    }
    if (first <= last) facts.duration = last - first;
    return facts;
}

}  // namespace morvex
