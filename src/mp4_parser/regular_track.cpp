#include "mp4_parser/regular_track.h"

#include "common/byte_writer.h"
#include "mp4_parser/box.h"
#include "mp4_parser/movie_header.h"

namespace morvex {
namespace {

constexpr uint32_t kTkhd = fourcc_value("tkhd"), kMdia = fourcc_value("mdia"), kMdhd = fourcc_value("mdhd"),
                   kMinf = fourcc_value("minf"), kStbl = fourcc_value("stbl");

using Samples = std::vector<FragmentSampleInfo>;

// Run-length table of one field (stts, ctts): entry_count, then
// (sample_count, value) per run of equal values.
template <typename Field>
void write_runs(ByteWriter& w, const Samples& samples, Field field) {
    const size_t count_at = w.out.size();
    w.u32(0);
    uint32_t entries = 0;
    for (size_t i = 0; i < samples.size();) {
        size_t j = i + 1;
        while (j < samples.size() && field(samples[j]) == field(samples[i])) ++j;
        w.u32(uint32_t(j - i));
        w.u32(field(samples[i]));
        ++entries;
        i = j;
    }
    w.patch_u32(count_at, entries);
}

Bytes build_stbl(const TrackFragments& track, uint64_t chunk_offset, bool co64) {
    const Samples& samples = track.samples;
    Bytes out;
    out.reserve(track.stsd_payload.size() + 64 + samples.size() * 24);
    ByteWriter w{out};
    if (!track.stsd_payload.empty()) write_box(out, fourcc_value("stsd"), track.stsd_payload);

    size_t m = w.begin_full_box("stts", 0, 0);
    write_runs(w, samples, [](const FragmentSampleInfo& s) { return s.duration; });
    w.end_box(m);

    m = w.begin_full_box("stsc", 0, 0);  // one sample per chunk
    w.u32(1);
    w.u32(1);
    w.u32(1);
    w.u32(1);
    w.end_box(m);

    m = w.begin_full_box("stsz", 0, 0);
    w.u32(0);
    w.u32(uint32_t(samples.size()));
    for (const auto& s : samples) w.u32(s.size);
    w.end_box(m);

    m = w.begin_full_box(co64 ? "co64" : "stco", 0, 0);
    w.u32(uint32_t(samples.size()));
    uint64_t at = chunk_offset;
    for (const auto& s : samples) {
        if (co64) w.u64(at); else w.u32(uint32_t(at));
        at += s.size;
    }
    w.end_box(m);

    bool any_offset = false, negative = false;
    for (const auto& s : samples) {
        any_offset |= s.composition_offset != 0;
        negative |= (s.composition_offset & 0x80000000u) != 0;
    }
    if (any_offset) {
        // Version 1 declares the offsets signed (8.6.1.3).
        m = w.begin_full_box("ctts", negative ? 1 : 0, 0);
        write_runs(w, samples, [](const FragmentSampleInfo& s) { return s.composition_offset; });
        w.end_box(m);
    }

    bool all_sync = true;
    for (const auto& s : samples) all_sync &= is_sync_sample(s.flags);
    if (!all_sync) {
        // Without stss every sample is a sync sample; so it is written, even
        // empty, as soon as one is not.
        m = w.begin_full_box("stss", 0, 0);
        const size_t count_at = out.size();
        w.u32(0);
        uint32_t entries = 0;
        for (size_t i = 0; i < samples.size(); ++i)
            if (is_sync_sample(samples[i].flags)) {
                w.u32(uint32_t(i + 1));
                ++entries;
            }
        w.patch_u32(count_at, entries);
        w.end_box(m);
    }
    return out;
}

Result<Bytes> rebuilt_header(TimeBox box, ByteSpan payload, uint64_t duration) {
    auto h = read_time_header(box, payload);
    if (!h) return std::unexpected(h.error());
    if (!*h) return Bytes(payload.begin(), payload.end());
    return rebuild_time_header(**h, payload, duration);
}

}  // namespace

Result<Bytes> build_regular_trak(ByteSpan trak_payload, const TrackFragments& track, uint64_t chunk_offset,
                                 const TrakLayout& layout) {
    uint64_t total = 0;
    for (const auto& s : track.samples) total += s.duration;

    auto children = parse_container_box(trak_payload);
    if (!children) return std::unexpected(children.error());
    Bytes out;
    for (const auto& child : *children) {
        if (child.box_type == kTkhd) {
            // The track header counts in the movie timescale, the media
            // header in the track's own.
            auto p = rebuilt_header(TimeBox::Tkhd, child.data,
                                    scale_duration(total, track.timescale, layout.movie_timescale));
            if (!p) return std::unexpected(p.error());
            write_box(out, kTkhd, *p);
            continue;
        }
        if (child.box_type != kMdia) {
            write_box(out, child.box_type, child.data);
            continue;
        }
        auto media = parse_container_box(child.data);
        if (!media) return std::unexpected(media.error());
        Bytes mdia;
        for (const auto& m : *media) {
            if (m.box_type == kMdhd) {
                auto p = rebuilt_header(TimeBox::Mdhd, m.data, total);
                if (!p) return std::unexpected(p.error());
                write_box(mdia, kMdhd, *p);
                continue;
            }
            if (m.box_type != kMinf) {
                write_box(mdia, m.box_type, m.data);
                continue;
            }
            auto minf_children = parse_container_box(m.data);
            if (!minf_children) return std::unexpected(minf_children.error());
            Bytes minf;
            for (const auto& c : *minf_children) {
                if (c.box_type == kStbl) write_box(minf, kStbl, build_stbl(track, chunk_offset, layout.co64));
                else write_box(minf, c.box_type, c.data);
            }
            write_box(mdia, kMinf, minf);
        }
        write_box(out, kMdia, mdia);
    }
    return out;
}

}  // namespace morvex
