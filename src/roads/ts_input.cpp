#include "roads/ts_input.h"

#include <algorithm>
#include <cstring>

#include "common/messages.h"

namespace morvex {
namespace {

// An empty edit of `delay`, then the whole media from media time 0 (both in
// the movie timescale, 90 kHz), so the track starts where the programme
// puts it.
std::vector<Edit> delay_edits(uint64_t delay, uint64_t media_90k) {
    if (delay == 0) return {};
    return {Edit{delay, -1, 0x00010000}, Edit{media_90k, 0, 0x00010000}};
}

// Where the picture presented last stops being shown (media time): its
// presentation time plus its own duration. A sample's duration runs to the
// next decode time, which a gap or a slower frame rate moves later, so the
// latest end of all samples can run past the last picture.
uint64_t last_picture_end(const std::vector<Sample>& samples) {
    int64_t dts = 0, last_pts = 0, end = 0;
    bool any = false;
    for (const auto& s : samples) {
        const int64_t pts = dts + s.composition_offset;
        if (!any || pts >= last_pts) {
            last_pts = pts;
            end = pts + int64_t(s.duration);
            any = true;
        }
        dts += s.duration;
    }
    return uint64_t(std::max<int64_t>(end, 0));
}

}  // namespace

Result<std::shared_ptr<TsInput>> read_ts_input(ByteSpan data, std::string& report) {
    if (data.empty() || std::memchr(data.data(), kTsSyncByte, data.size()) == nullptr) return invalid(msg::kNoSync);
    auto in = std::make_shared<TsInput>();
    TsReader& r = in->reader;
    r.video.es.window = data.data();
    // The video's pieces are held for the whole input: room for them at
    // once, rather than copies as the list grows.
    r.video.es.reserve_for(data.size());
    MORVEX_CHECK(read_ts(r, StreamBytes{data, 0, true}));
    report += ts_report(r);
    // Parameter sets that change mid-stream stay in the samples, where they
    // appear (avc3, hev1); otherwise they all go into the avcC or hvcC
    // (avc1, hvc1). MPEG-2 samples keep their sequence headers as they are.
    const bool in_band = r.video.cutter.sets.change || r.video.codec == VideoCodec::Mpeg2;
    in->movie = MORVEX_TRY(ts_movie(r, in_band));
    TsMovie& m = *in->movie;
    in->base = ts_base_time(m, r);
    for (size_t k = 0; k < m.sources.size(); ++k) {
        Track& t = m.movie.tracks[k];
        TsTrackOutput& out = ts_track_output(r, m.sources[k]);
        t.samples = std::move(out.samples);
        const uint64_t delay = uint64_t(*out.first_time - in->base);
        if (m.sources[k] != kVideoSource) {
            t.edits = delay_edits(delay, t.media_duration() * kTsClock / t.timescale);
            continue;
        }
        if (!in_band)
            for (auto& s : t.samples)
                for (uint32_t n = 0; n < s.nal_count; ++n) {
                    const NalRange& nal = t.nals[s.first_nal + n];
                    if (nal.parameter_set) s.size -= 4 + nal.size;
                }
        t.edits = delay_edits(delay, last_picture_end(t.samples));
    }
    return in;
}

uint16_t ts_track_pid(const TsInput& in, size_t track) {
    const int source = in.movie->sources[track];
    if (source == kVideoSource) return in.reader.video.pid.value_or(0);
    return in.reader.audio[size_t(source)].pid;
}

}  // namespace morvex
