#include "mp4_writer/timeline.h"

#include <algorithm>
#include <array>

namespace morvex {
namespace {

constexpr int64_t kWrap = int64_t(1) << 33;

struct UnwrappedVideo {
    std::vector<std::optional<int64_t>> pts, dts;  // per PES record
};

std::optional<int64_t> first_reference(const MediaData& media) {
    for (const auto& t : media.video_timestamps)
        if (t.pts) return int64_t(*t.pts);
    for (const auto& t : media.audio_timestamps)
        if (t) return int64_t(*t);
    return std::nullopt;
}

UnwrappedVideo unwrap_video(const MediaData& media, int64_t reference) {
    UnwrappedVideo out;
    out.pts.reserve(media.video_timestamps.size());
    out.dts.reserve(media.video_timestamps.size());
    int64_t near = reference;
    for (const auto& t : media.video_timestamps) {
        std::optional<int64_t> pts, dts;
        if (t.pts) near = *(pts = unwrap_timestamp(*t.pts, near));
        if (t.dts) dts = unwrap_timestamp(*t.dts, near);
        out.pts.push_back(pts);
        out.dts.push_back(dts);
    }
    return out;
}

uint32_t estimate_frame_duration(const UnwrappedVideo& v) {
    uint64_t count = 0;
    int64_t lo = 0, hi = 0;
    for (const auto& p : v.pts) {
        if (!p) continue;
        lo = count == 0 ? *p : std::min(lo, *p);
        hi = count == 0 ? *p : std::max(hi, *p);
        ++count;
    }
    if (count >= 2 && hi > lo && uint64_t(hi - lo) >= count - 1) return uint32_t(uint64_t(hi - lo) / (count - 1));
    return 3000;
}

// The PES record in which each sample's access unit begins; a sample gets
// that record only when it is the first to begin there.
std::vector<std::optional<size_t>> sample_records(const MediaData& media, const VideoSamples& samples) {
    std::vector<std::optional<size_t>> records(samples.count());
    const auto& offsets = media.video_pes_offsets;
    std::optional<size_t> last_used;
    for (size_t i = 0; i < samples.count(); ++i) {
        auto it = std::upper_bound(offsets.begin(), offsets.end(), samples.unit_start[i]);
        if (it == offsets.begin()) continue;
        size_t record = size_t(it - offsets.begin()) - 1;
        if (last_used && *last_used == record) continue;
        records[i] = record;
        last_used = record;
    }
    return records;
}

}  // namespace

int64_t unwrap_timestamp(uint64_t v, int64_t near) {
    const int64_t value = int64_t(v & uint64_t(kWrap - 1));
    int64_t d = ((value - near) % kWrap + kWrap) % kWrap;  // in [0, 2^33)
    if (d >= kWrap / 2) d -= kWrap;
    return near + d;
}

uint32_t adts_sample_rate(uint8_t index) {
    static constexpr std::array<uint32_t, 13> rates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                       22050, 16000, 12000, 11025, 8000,  7350};
    return index < rates.size() ? rates[index] : 0;
}

ProgramTiming compute_timing(const MediaData& media, const VideoSamples& samples) {
    ProgramTiming timing;
    const int64_t reference = first_reference(media).value_or(0);
    const UnwrappedVideo video = unwrap_video(media, reference);
    timing.video.frame_duration = estimate_frame_duration(video);

    // Composition offsets: PTS - DTS of the sample's own PES, relative to
    // the first sample's, so that sample 0 is presented at media time 0.
    const auto records = sample_records(media, samples);
    std::vector<int64_t> raw(samples.count(), 0);
    std::vector<uint8_t> known(samples.count(), 0);
    for (size_t i = 0; i < samples.count(); ++i) {
        if (!records[i]) continue;
        const auto& pts = video.pts[*records[i]];
        const auto& dts = video.dts[*records[i]];
        if (pts && dts) {
            raw[i] = *pts - *dts;
            known[i] = 1;
        } else if (pts) {
            known[i] = 1;
        }
    }
    const int64_t first = samples.count() > 0 ? raw[0] : 0;
    timing.video.composition_offsets.resize(samples.count(), 0);
    for (size_t i = 0; i < samples.count(); ++i) {
        const int64_t offset = known[i] ? raw[i] - first : 0;
        timing.video.composition_offsets[i] = offset;
        if (offset != 0) timing.video.has_composition_offsets = true;
        if (offset < 0) timing.video.has_negative_offsets = true;
    }
    if (samples.count() > 0 && records[0] && video.pts[*records[0]]) timing.video.first_pts = video.pts[*records[0]];

    // Audio: a continuous timeline from the same reference.
    std::optional<int64_t> audio_min;
    int64_t near = reference;
    for (size_t i = 0; i < media.audio_timestamps.size(); ++i) {
        const auto& t = media.audio_timestamps[i];
        if (!t) continue;
        near = unwrap_timestamp(*t, near);
        if (i == 0) timing.audio.first_pts = near;
        audio_min = audio_min ? std::min(*audio_min, near) : near;
    }
    if (media.audio_config) {
        const uint32_t rate = adts_sample_rate(media.audio_config->sampling_frequency_index);
        timing.audio.sample_rate = rate != 0 ? rate : 48000;
        if (timing.audio.sample_rate != 48000) {
            // Other rates count in their own samples: 1024 per AAC frame.
            timing.audio.timescale = timing.audio.sample_rate;
            timing.audio.frame_duration = 1024;
        }
    }

    // The presentation base: the earliest PTS of the programme. Each track
    // that starts later is delayed by an empty edit of the difference.
    std::optional<int64_t> base = audio_min;
    for (const auto& p : video.pts)
        if (p) base = base ? std::min(*base, *p) : *p;
    if (base) {
        // Without a PTS of its own, sample 0 stands for the earliest video PTS.
        std::optional<int64_t> video_start = timing.video.first_pts;
        for (const auto& p : video.pts)
            if (!timing.video.first_pts && p) video_start = video_start ? std::min(*video_start, *p) : *p;
        if (video_start && *video_start > *base) timing.video_delay = uint64_t(*video_start - *base);
        if (timing.audio.first_pts && *timing.audio.first_pts > *base)
            timing.audio_delay = uint64_t(*timing.audio.first_pts - *base);
    }
    return timing;
}

}  // namespace morvex
