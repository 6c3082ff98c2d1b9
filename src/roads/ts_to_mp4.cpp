#include "roads/ts_to_mp4.h"

#include <cstring>

#include "common/messages.h"
#include "roads/ts_movie.h"

namespace morvex {
namespace {

// An empty edit of `delay`, then the whole media from media time 0 (both in
// the movie timescale, 90 kHz), so the track starts where the programme
// puts it.
std::vector<Edit> delay_edits(uint64_t delay, uint64_t media_90k) {
    if (delay == 0) return {};
    return {Edit{delay, -1, 0x00010000}, Edit{media_90k, 0, 0x00010000}};
}

struct Conversion {
    TsReader reader;
    std::unique_ptr<TsMovie> movie;
};

}  // namespace

Result<PlannedOutput> plan_convert_ts_to_mp4(ByteSpan data, std::string& report) {
    if (data.empty() || std::memchr(data.data(), kTsSyncByte, data.size()) == nullptr) return invalid(msg::kNoSync);
    auto c = std::make_shared<Conversion>();
    TsReader& r = c->reader;
    r.video.es.window = data.data();
    MORVEX_CHECK(read_ts(r, StreamBytes{data, 0, true}));
    report += ts_report(r);
    // Parameter sets that change mid-stream stay in the samples, where they
    // appear (avc3, hev1); otherwise they all go into the avcC or hvcC
    // (avc1, hvc1).
    const bool in_band = r.video.cutter.sets.change;
    c->movie = MORVEX_TRY(ts_movie(r, in_band));
    TsMovie& m = *c->movie;
    const int64_t base = ts_base_time(m, r);

    Track& vt = m.movie.tracks[0];
    vt.samples = std::move(r.video.out.samples);
    if (!in_band)
        for (auto& s : vt.samples)
            for (uint32_t k = 0; k < s.nal_count; ++k) {
                const NalRange& n = vt.nals[s.first_nal + k];
                if (n.parameter_set) s.size -= 4 + n.size;
            }
    vt.edits = delay_edits(uint64_t(*r.video.out.first_time - base), vt.presentation_end());
    if (m.has_audio) {
        Track& at = m.movie.tracks[1];
        at.samples = std::move(r.audio.out.samples);
        const uint64_t media_90k = at.media_duration() * kTsClock / at.timescale;
        if (r.audio.out.first_time) at.edits = delay_edits(uint64_t(*r.audio.out.first_time - base), media_90k);
    }
    return plan_regular_mp4(std::shared_ptr<const Movie>(c, &c->movie->movie), c);
}

Result<Bytes> convert_ts_to_mp4(ByteSpan data, std::string& report) {
    return MORVEX_TRY(plan_convert_ts_to_mp4(data, report)).to_bytes();
}

}  // namespace morvex
