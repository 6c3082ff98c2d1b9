// Timestamp reset: every track's fragment decode times (tfdt, ISO/IEC
// 14496-12 8.8.12) are rebased so the track starts at 0, the creation and
// modification times of mvhd, tkhd and mdhd are cleared, and their durations
// are set from the fragments. Only field values change: every box keeps its
// length and its header form, so chunk offsets and data offsets stay valid.
#include <algorithm>
#include <unordered_map>

#include "common/byte_reader.h"
#include "mp4_parser/box.h"
#include "mp4_parser/defragment.h"
#include "mp4_parser/fragment_samples.h"
#include "mp4_parser/movie_header.h"
#include "mp4_parser/mp4_rewrite.h"

namespace morvex {
namespace {

constexpr uint32_t kMoof = fourcc_value("moof"), kMoov = fourcc_value("moov"), kTraf = fourcc_value("traf"),
                   kTfdt = fourcc_value("tfdt"), kTrun = fourcc_value("trun"), kMvhd = fourcc_value("mvhd"),
                   kTrak = fourcc_value("trak"), kTkhd = fourcc_value("tkhd"), kMdia = fourcc_value("mdia"),
                   kMdhd = fourcc_value("mdhd");

// One track's timeline, keyed by the track_ID of its tfhd boxes.
struct TrackTimes {
    SampleDefaults trex;
    std::optional<uint64_t> base;  // the first tfdt of the track
    uint64_t last_decode = 0;      // rebased decode time of the latest traf
    uint64_t last_duration = 0;    // duration of the latest fragment that had one
    std::optional<uint64_t> previous_decode;

    uint64_t end() const { return last_decode + last_duration; }
};
using Timeline = std::unordered_map<uint32_t, TrackTimes>;

bool large(const Mp4Box& b) { return b.header_size == 16; }

uint64_t tfdt_time(ByteSpan p) {
    if (p.size() >= 12 && p[0] == 1) return load_be64(p.data() + 4);
    if (p.size() >= 8) return load_be32(p.data() + 4);
    return 0;
}

TrackTimes& times_of(Timeline& timeline, uint32_t id, const std::vector<Mp4Box>& moov_children) {
    auto [it, fresh] = timeline.try_emplace(id);
    if (fresh) it->second.trex = trex_defaults(moov_children, id);
    return it->second;
}

// Sum of the sample durations of every run of a traf, each taken from the
// run, else the tfhd default, else the trex default.
uint64_t traf_duration(const std::vector<Mp4Box>& traf_children, const SampleDefaults& defaults) {
    uint64_t total = 0;
    for (const auto& c : traf_children) {
        if (c.box_type != kTrun) continue;
        auto run = read_trun(c.data);
        if (!run) continue;
        const uint64_t present = run->present();
        if (!run->stride || !(run->tr_flags & 0x100)) {
            total += present * defaults.duration;
            continue;
        }
        for (uint64_t i = 0; i < present; ++i) total += run->sample(size_t(i), defaults).duration;
    }
    return total;
}

Result<void> read_timeline(const Mp4File& file, const std::vector<Mp4Box>& moov_children, Timeline& timeline) {
    // First pass: the base of every track. Second pass: where each ends.
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& info : file.box_infos) {
            const auto* moof = std::get_if<Mp4Box>(&info);
            if (!moof || moof->box_type != kMoof) continue;
            auto trafs = parse_container_box(moof->data);
            if (!trafs) return std::unexpected(trafs.error());
            for (const auto& traf : *trafs) {
                if (traf.box_type != kTraf) continue;
                auto parts = parse_container_box(traf.data);
                if (!parts) return std::unexpected(parts.error());
                const TfhdFields tfhd = read_traf_header(*parts);
                TrackTimes& t = times_of(timeline, tfhd.track_id, moov_children);
                const Mp4Box* tfdt = first_child(*parts, kTfdt);
                if (pass == 0) {
                    if (!t.base && tfdt) t.base = tfdt_time(tfdt->data);
                    continue;
                }
                const uint64_t decode = tfdt ? tfdt_time(tfdt->data) : 0;
                const uint64_t base = t.base.value_or(0);
                const uint64_t rebased = decode > base ? decode - base : 0;
                const uint64_t duration = traf_duration(*parts, merge_defaults(tfhd, t.trex));
                if (duration) t.last_duration = duration;
                else if (t.previous_decode && *t.previous_decode < rebased) t.last_duration = rebased - *t.previous_decode;
                t.last_decode = rebased;
                t.previous_decode = rebased;
            }
        }
    }
    return {};
}

// Clears the times of one header and sets its duration, or keeps the one it
// has when `duration` is absent.
Result<Bytes> patched(TimeBox box, const Mp4Box& b, std::optional<uint64_t> duration) {
    Bytes p = b.data;
    auto h = read_time_header(box, p);
    if (!h) return std::unexpected(h.error());
    if (*h) patch_time_header(**h, p, duration ? *duration : time_header_duration(**h, p));
    return p;
}

struct TrakTimes {
    std::optional<uint64_t> media;  // end time in the media timescale, when fragmented
    uint32_t timescale = 0;
    uint64_t movie = 0;  // the duration the tkhd gets, in the movie timescale
};

Result<TrakTimes> trak_times(const std::vector<Mp4Box>& parts, const Timeline& timeline, uint32_t movie_timescale) {
    TrakTimes t;
    const uint32_t id = tkhd_track_id(parts);
    if (auto it = timeline.find(id); it != timeline.end()) t.media = it->second.end();
    for (const auto& mdia : parts) {
        if (mdia.box_type != kMdia) continue;
        auto media = parse_container_box(mdia.data);
        if (!media) return std::unexpected(media.error());
        if (const Mp4Box* mdhd = first_child(*media, kMdhd)) {
            auto h = read_time_header(TimeBox::Mdhd, mdhd->data);
            if (!h) return std::unexpected(h.error());
            if (*h) t.timescale = time_header_id(**h, mdhd->data);
        }
    }
    if (t.media) {
        t.movie = scale_duration(*t.media, t.timescale, movie_timescale);
    } else if (const Mp4Box* tkhd = first_child(parts, kTkhd)) {
        auto h = read_time_header(TimeBox::Tkhd, tkhd->data);
        if (!h) return std::unexpected(h.error());
        if (*h) t.movie = time_header_duration(**h, tkhd->data);
    }
    return t;
}

Result<Bytes> rebuild_trak(const Mp4Box& trak, const std::vector<Mp4Box>& parts, const TrakTimes& times) {
    Bytes out;
    for (const auto& part : parts) {
        if (part.box_type == kTkhd) {
            auto p = patched(TimeBox::Tkhd, part, times.media ? std::optional(times.movie) : std::nullopt);
            if (!p) return std::unexpected(p.error());
            write_box_as(out, kTkhd, *p, large(part));
            continue;
        }
        if (part.box_type != kMdia) {
            write_box_as(out, part.box_type, part.data, large(part));
            continue;
        }
        auto media = parse_container_box(part.data);
        if (!media) return std::unexpected(media.error());
        Bytes mdia;
        for (const auto& m : *media) {
            if (m.box_type != kMdhd) {
                write_box_as(mdia, m.box_type, m.data, large(m));
                continue;
            }
            auto p = patched(TimeBox::Mdhd, m, times.media);
            if (!p) return std::unexpected(p.error());
            write_box_as(mdia, kMdhd, *p, large(m));
        }
        write_box_as(out, kMdia, mdia, large(part));
    }
    Bytes box;
    write_box_as(box, kTrak, out, large(trak));
    return box;
}

Result<Bytes> rebuild_moov(const Mp4Box& moov, const Timeline& timeline) {
    auto children = parse_container_box(moov.data);
    if (!children) return std::unexpected(children.error());
    const uint32_t movie_timescale = moov_timescale(*children);

    // Track durations first: the movie header, which comes before the
    // tracks, takes the longest of them.
    std::vector<Bytes> traks;
    bool any_fragmented = false;
    uint64_t longest = 0;
    for (const auto& c : *children) {
        if (c.box_type != kTrak) continue;
        auto parts = parse_container_box(c.data);
        if (!parts) return std::unexpected(parts.error());
        auto times = trak_times(*parts, timeline, movie_timescale);
        if (!times) return std::unexpected(times.error());
        any_fragmented |= times->media.has_value();
        longest = std::max(longest, times->movie);
        auto rebuilt = rebuild_trak(c, *parts, *times);
        if (!rebuilt) return std::unexpected(rebuilt.error());
        traks.push_back(std::move(*rebuilt));
    }

    Bytes out;
    size_t next_trak = 0;
    for (const auto& c : *children) {
        if (c.box_type == kTrak) {
            const Bytes& t = traks[next_trak++];
            out.insert(out.end(), t.begin(), t.end());
        } else if (c.box_type == kMvhd) {
            auto p = patched(TimeBox::Mvhd, c, any_fragmented ? std::optional(longest) : std::nullopt);
            if (!p) return std::unexpected(p.error());
            write_box_as(out, kMvhd, *p, large(c));
        } else {
            write_box_as(out, c.box_type, c.data, large(c));
        }
    }
    Bytes box;
    write_box_as(box, kMoov, out, large(moov));
    return box;
}

Result<void> write_moof(Bytes& out, const Mp4Box& moof, const Timeline& timeline) {
    auto children = parse_container_box(moof.data);
    if (!children) return std::unexpected(children.error());
    Bytes payload;
    for (const auto& c : *children) {
        if (c.box_type != kTraf) {
            write_box_as(payload, c.box_type, c.data, large(c));
            continue;
        }
        auto parts = parse_container_box(c.data);
        if (!parts) return std::unexpected(parts.error());
        const auto it = timeline.find(read_traf_header(*parts).track_id);
        const uint64_t base = it != timeline.end() ? it->second.base.value_or(0) : 0;
        Bytes traf;
        for (const auto& part : *parts) {
            if (part.box_type != kTfdt) {
                write_box_as(traf, part.box_type, part.data, large(part));
                continue;
            }
            if (part.data.size() < 4) return fail(ErrorKind::InvalidData, "Not enough data for FullBox header");
            Bytes p = part.data;
            const uint64_t decode = tfdt_time(p);
            const uint64_t rebased = decode > base ? decode - base : 0;
            ByteWriter w{p};
            if (p[0] == 1 && p.size() >= 12) {
                w.patch_u32(4, uint32_t(rebased >> 32));
                w.patch_u32(8, uint32_t(rebased));
            } else if (p.size() >= 8) {
                w.patch_u32(4, uint32_t(rebased));
            }
            write_box_as(traf, kTfdt, p, large(part));
        }
        write_box_as(payload, kTraf, traf, large(c));
    }
    write_box_as(out, kMoof, payload, large(moof));
    return {};
}

}  // namespace

Result<Bytes> reset_mp4_timestamps(ByteSpan data) {
    auto file = parse_mp4(data);
    if (!file) return std::unexpected(file.error());
    std::vector<Mp4Box> moov_children;
    if (file->moov) {
        auto children = parse_container_box(file->moov->data);
        if (!children) return std::unexpected(children.error());
        moov_children = std::move(*children);
    }
    Timeline timeline;
    if (auto ok = read_timeline(*file, moov_children, timeline); !ok) return std::unexpected(ok.error());
    if (!file->moov) return fail(ErrorKind::InvalidData, "moov box not found");
    auto moov = rebuild_moov(*file->moov, timeline);
    if (!moov) return std::unexpected(moov.error());

    Bytes out;
    out.reserve(data.size());
    bool moov_written = false;
    for (const auto& info : file->box_infos) {
        if (const auto* mdat = std::get_if<MdatInfo>(&info)) {
            // The mdat keeps its header form, so every offset into it holds.
            write_box_header(out, fourcc_value("mdat"), mdat->data_len, mdat->header_size() == 16);
            const auto payload = data.subspan(size_t(mdat->data_offset), size_t(mdat->data_len));
            out.insert(out.end(), payload.begin(), payload.end());
            continue;
        }
        const auto& box = std::get<Mp4Box>(info);
        if (box.box_type == kMoov) {
            if (!moov_written) out.insert(out.end(), moov->begin(), moov->end());
            moov_written = true;
        } else if (box.box_type == kMoof) {
            if (auto ok = write_moof(out, box, timeline); !ok) return std::unexpected(ok.error());
        } else {
            write_box_as(out, box.box_type, box.data, large(box));
        }
    }
    return out;
}

}  // namespace morvex
