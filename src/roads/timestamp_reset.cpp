// Timestamp reset: the fragment decode times (tfdt, ISO/IEC 14496-12
// 8.8.12) of every track move back by one common instant, so that the
// earliest track starts at 0 and the others keep their offset from it (and
// the segment indexes, sidx, with them); the
// creation and modification times of mvhd, tkhd and mdhd are cleared, and
// their durations are set from the fragments. A regular file whose tracks
// all start late (an empty edit in front of each, 8.6.6) loses the common
// part of those delays. The input is copied into the result once and only
// field values are patched there: every box keeps its length and its
// header form, so chunk offsets and data offsets stay valid.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/fragment_boxes.h"
#include "isobmff/time_headers.h"
#include "isobmff/track_boxes.h"
#include "media/stbl_samples.h"
#include "media/timeline.h"
#include "roads/mp4_roads.h"

namespace morvex {
namespace {

// One track's timeline, keyed by the track_ID of its tfhd boxes.
struct TrackTimes {
    SampleDefaults trex;
    uint32_t timescale = 0;      // of its trak's mdhd; 0 when no trak gives it
    uint64_t table_duration = 0;  // of the samples the moov holds, which come first
    bool fragmented = false;       // some traf of the track
    std::optional<uint64_t> base;  // the first tfdt of the track
    int64_t shift = 0;             // what every tfdt of the track moves back by
    uint64_t last_decode = 0;      // rebased decode time of the latest traf
    uint64_t last_duration = 0;    // duration of the latest fragment that had one
    std::optional<uint64_t> previous_decode;

    uint64_t end() const { return last_decode + last_duration; }
    uint64_t rebased(uint64_t tfdt) const { return moved_back(tfdt, shift); }
};
using Timeline = std::unordered_map<uint32_t, TrackTimes>;

// Sum of the sample durations of every run of a traf, each taken from the
// run, else the tfhd default, else the trex default.
uint64_t traf_duration(const std::vector<Box>& traf_children, const SampleDefaults& defaults) {
    uint64_t total = 0;
    for (const auto& c : traf_children) {
        if (c.type != box::trun) continue;
        auto run = read_trun(c.payload());
        if (!run) continue;
        const uint64_t present = run->present();
        if (!run->stride || !(run->tr_flags & kTrSampleDuration)) {
            total += present * defaults.duration;
            continue;
        }
        for (uint64_t i = 0; i < present; ++i) total += run->sample(size_t(i), defaults).duration;
    }
    return total;
}

// The output is the top-level boxes copied one after the other; the fields
// that change are gathered first as patches (a box payload with its new
// values, and where it lands), so that every error is found before a byte
// is written.
struct Patch {
    size_t at = 0;
    Bytes bytes;
};

struct Output {
    std::vector<Patch> patches;
    int64_t shift = 0;  // output position minus input position of the box being patched

    std::span<uint8_t> at(const Box& b) {
        const ByteSpan payload = b.payload();
        patches.push_back(Patch{size_t(int64_t(b.payload_offset()) + shift), Bytes(payload.begin(), payload.end())});
        return patches.back().bytes;
    }
};

struct Reset {
    ByteSpan file;
    const std::vector<Box>& moov_children;
    TrexTable trex;
    Timeline timeline;

    TrackTimes& times_of(uint32_t id) {
        auto [it, fresh] = timeline.try_emplace(id);
        if (fresh) it->second.trex = trex.of(id);
        return it->second;
    }

    // What the moov says of each track: its timescale, and the samples its
    // table already holds. Boxes that cannot be read say nothing here.
    void read_moov() {
        for (const auto& trak : moov_children) {
            if (trak.type != box::trak) continue;
            auto tkhd = find_child(trak, box::tkhd);
            auto mdhd = find_path(trak, {box::mdia, box::mdhd});
            if (!tkhd || !*tkhd || !mdhd || !*mdhd) continue;
            auto id = tkhd_track_id((*tkhd)->payload());
            auto timescale = mdhd_timescale((*mdhd)->payload());
            if (!id || !timescale || *timescale == 0 || timeline.count(*id)) continue;
            TrackTimes& t = times_of(*id);
            t.timescale = *timescale;
            if (auto stbl = find_path(trak, {box::mdia, box::minf, box::stbl}); stbl && *stbl)
                t.table_duration = table_duration(file, **stbl);
        }
    }

    // The instant all tracks move back by: the earliest at which one
    // starts, where a track whose moov holds samples starts that much before
    // its first fragment. A track without a timescale moves back by its own
    // first decode time.
    void settle_shifts() {
        std::optional<Instant> earliest;
        for (const auto& [id, t] : timeline) {
            if (!t.base || t.timescale == 0) continue;
            const __int128 at = (__int128)signed_time(*t.base) - t.table_duration;
            const Instant start{at < INT64_MIN ? INT64_MIN : int64_t(at), t.timescale};
            if (!earliest || start < *earliest) earliest = start;
        }
        for (auto& [id, t] : timeline) {
            if (!t.base) continue;
            t.shift = t.timescale && earliest ? earliest->in(t.timescale) : signed_time(*t.base);
        }
    }

    // First pass: the base of every track. Second pass: where each ends.
    Result<void> read(const std::vector<Box>& top) {
        read_moov();
        for (int pass = 0; pass < 2; ++pass) {
            if (pass == 1) settle_shifts();
            for (const auto& moof : top) {
                if (moof.type != box::moof) continue;
                for (const auto& traf : MORVEX_TRY(child_boxes(moof))) {
                    if (traf.type != box::traf) continue;
                    auto parts = MORVEX_TRY(child_boxes(traf));
                    const TfhdFields tfhd = read_traf_header(parts);
                    TrackTimes& t = times_of(tfhd.track_id);
                    const Box* tfdt_box = first_of(parts, box::tfdt);
                    const auto tfdt = tfdt_box ? read_tfdt(tfdt_box->payload()) : std::nullopt;
                    if (pass == 0) {
                        t.fragmented = true;
                        if (!t.base && tfdt_box) t.base = tfdt ? tfdt->time : 0;
                        continue;
                    }
                    const uint64_t rebased = t.rebased(tfdt ? tfdt->time : 0);
                    const uint64_t duration = traf_duration(parts, merge_defaults(tfhd, t.trex));
                    if (duration) t.last_duration = duration;
                    else if (t.previous_decode && *t.previous_decode < rebased) t.last_duration = rebased - *t.previous_decode;
                    t.last_decode = rebased;
                    t.previous_decode = rebased;
                }
            }
        }
        return {};
    }

    // sidx (8.16.3): version and flags, reference_ID, timescale, then
    // earliest_presentation_time, 64 bits wide in version 1. It moves with
    // the decode times of its reference track, in its own timescale.
    void patch_sidx(Output& out, const Box& sidx) {
        const ByteSpan p = sidx.payload();
        const bool wide = !p.empty() && p[0] == 1;
        if (p.size() < (wide ? 20u : 16u)) return;
        const auto it = timeline.find(load_be32(p.data() + 4));
        const uint32_t timescale = load_be32(p.data() + 8);
        if (it == timeline.end() || !it->second.base || timescale == 0) return;
        const TrackTimes& t = it->second;
        const int64_t shift = t.timescale ? Instant{t.shift, t.timescale}.in(timescale) : t.shift;
        const uint64_t time = wide ? load_be64(p.data() + 12) : load_be32(p.data() + 12);
        const uint64_t moved = moved_back(time, shift);
        uint8_t* field = out.at(sidx).data() + 12;
        for (int k = wide ? 7 : 3; k >= 0; --k, ++field) *field = uint8_t(moved >> (8 * k));
    }

    Result<void> patch_moof(Output& out, const Box& moof) {
        for (const auto& traf : MORVEX_TRY(child_boxes(moof))) {
            if (traf.type != box::traf) continue;
            auto parts = MORVEX_TRY(child_boxes(traf));
            const auto it = timeline.find(read_traf_header(parts).track_id);
            for (const auto& part : parts) {
                if (part.type != box::tfdt) continue;
                if (part.payload().size() < 4) return invalid(msg::kFullBoxHeader);
                auto tfdt = read_tfdt(part.payload());
                if (!tfdt) continue;
                patch_tfdt(out.at(part), *tfdt, it != timeline.end() ? it->second.rebased(tfdt->time) : tfdt->time);
            }
        }
        return {};
    }
};

// Clears the times of one header and sets its duration, or keeps the one it
// has when `duration` is absent.
Result<void> patch_header(Output& out, const Box& b, TimeBox kind, std::optional<uint64_t> duration) {
    auto h = MORVEX_TRY(read_time_header(kind, b.payload()));
    if (!h) return {};
    patch_time_header(*h, out.at(b), duration ? *duration : time_header_duration(*h, b.payload()));
    return {};
}

// The edit list of a trak, as the tracks are read: the first elst of its
// first edts.
std::optional<Box> edit_list(const Box& trak) {
    auto parts = child_boxes(trak);
    if (!parts) return std::nullopt;
    const Box* edts = first_of(*parts, box::edts);
    if (!edts) return std::nullopt;
    auto elst = find_child(*edts, box::elst);
    return elst ? *elst : std::nullopt;
}

// How late a regular file's presentation starts: when every track with
// samples begins with empty edits (8.6.6), the least of those delays, in
// the movie timescale; otherwise 0.
uint64_t common_delay(ByteSpan file, const std::vector<Box>& children) {
    std::optional<uint64_t> least;
    for (const auto& trak : children) {
        if (trak.type != box::trak) continue;
        auto stbl = find_path(trak, {box::mdia, box::minf, box::stbl});
        if (!stbl || !*stbl) continue;
        auto sizes = read_sample_sizes(file, **stbl);
        if (!sizes || !*sizes || (*sizes)->count == 0) continue;
        uint64_t delay = 0;
        if (auto elst = edit_list(trak))
            for (const auto& e : read_elst(elst->payload())) {
                if (e.media_time != -1) break;
                delay += e.segment_duration;
            }
        least = std::min(least.value_or(delay), delay);
    }
    return least.value_or(0);
}

// The empty edits at the front of an edit list shortened by `by` in all.
void shorten_leading_edits(Output& out, const Box& elst, uint64_t by) {
    const std::vector<Edit> edits = read_elst(elst.payload());
    const bool wide = elst.payload()[0] == 1;
    std::span<uint8_t> p = out.at(elst);
    for (size_t i = 0; i < edits.size() && by > 0 && edits[i].media_time == -1; ++i) {
        const uint64_t take = std::min(by, edits[i].segment_duration);
        const uint64_t left = edits[i].segment_duration - take;
        by -= take;
        // after version, flags and entry_count; 64 bits wide in version 1
        uint8_t* field = p.data() + 8 + i * (wide ? 20 : 12);
        for (int k = wide ? 7 : 3; k >= 0; --k, ++field) *field = uint8_t(left >> (8 * k));
    }
}

Result<void> patch_moov(Output& out, const std::vector<Box>& children, const Timeline& timeline, uint64_t late) {
    const Box* mvhd_box = first_of(children, box::mvhd);
    const uint32_t movie_timescale = mvhd_box ? movie_timescale_of(mvhd_box->payload()) : 1000;
    bool any_fragmented = false;
    uint64_t longest = 0;
    for (const auto& trak : children) {
        if (trak.type != box::trak) continue;
        auto parts = MORVEX_TRY(child_boxes(trak));
        const Box* tkhd = first_of(parts, box::tkhd);
        const uint32_t id = tkhd ? tkhd_track_id(tkhd->payload()).value_or(0) : 0;
        std::optional<uint64_t> media;
        if (auto it = timeline.find(id); it != timeline.end() && it->second.fragmented) media = it->second.end();
        uint32_t timescale = 0;
        std::vector<Box> mdhds;
        for (const auto& mdia : parts) {
            if (mdia.type != box::mdia) continue;
            for (const auto& m : MORVEX_TRY(child_boxes(mdia))) {
                if (m.type != box::mdhd) continue;
                auto h = MORVEX_TRY(read_time_header(TimeBox::Mdhd, m.payload()));
                if (h && mdhds.empty()) timescale = time_header_id(*h, m.payload());
                mdhds.push_back(m);
            }
        }
        uint64_t movie = 0;
        if (media) {
            movie = scale_duration(*media, timescale, movie_timescale);
        } else if (tkhd) {
            auto h = MORVEX_TRY(read_time_header(TimeBox::Tkhd, tkhd->payload()));
            if (h) movie = time_header_duration(*h, tkhd->payload());
        }
        // A late start moves every track forward by the same instant.
        if (late) {
            if (auto elst = edit_list(trak)) shorten_leading_edits(out, *elst, late);
            movie = movie > late ? movie - late : 0;
        }
        const bool set = media || late;
        any_fragmented |= media.has_value();
        longest = std::max(longest, movie);
        for (const auto& part : parts)
            if (part.type == box::tkhd)
                MORVEX_CHECK(patch_header(out, part, TimeBox::Tkhd, set ? std::optional(movie) : std::nullopt));
        for (const auto& m : mdhds) MORVEX_CHECK(patch_header(out, m, TimeBox::Mdhd, media));
    }
    std::optional<uint64_t> movie_duration;
    if (any_fragmented) {
        movie_duration = longest;
    } else if (late && mvhd_box) {
        auto h = MORVEX_TRY(read_time_header(TimeBox::Mvhd, mvhd_box->payload()));
        const uint64_t d = h ? time_header_duration(*h, mvhd_box->payload()) : 0;
        movie_duration = d > late ? d - late : 0;
    }
    for (const auto& c : children)
        if (c.type == box::mvhd) MORVEX_CHECK(patch_header(out, c, TimeBox::Mvhd, movie_duration));
    return {};
}

}  // namespace

Result<PlannedOutput> plan_reset_mp4_timestamps(ByteSpan data) {
    auto top = MORVEX_TRY(top_level_boxes(data));
    const Box* moov = nullptr;
    for (const auto& b : top)
        if (b.type == box::moov) moov = &b;  // the last one, as the rewritten file has it
    std::vector<Box> moov_children;
    if (moov) moov_children = MORVEX_TRY(child_boxes(*moov));
    Reset reset{data, moov_children, read_trex_table(moov_children), {}};
    MORVEX_CHECK(reset.read(top));
    if (!moov) return invalid(msg::kMoovNotFound);
    bool fragmented = false;
    for (const auto& b : top) fragmented |= b.type == box::moof;
    const uint64_t late = fragmented ? 0 : common_delay(data, moov_children);

    // One moov, at the place of the first: the later ones are left out.
    struct Piece {
        ByteSpan bytes;
        size_t at;
    };
    auto pieces = std::make_shared<std::vector<Piece>>();
    auto out = std::make_shared<Output>();
    size_t size = 0;
    bool moov_written = false;
    for (const auto& b : top) {
        const Box& kept = b.type == box::moov ? *moov : b;
        if (b.type == box::moov && moov_written) continue;
        out->shift = int64_t(size) - int64_t(kept.offset);
        pieces->push_back(Piece{kept.bytes, size});
        if (b.type == box::moov) {
            moov_written = true;
            // A moov that ran to the end of the file (size 0) and now sits
            // before other boxes must say its size, or it would swallow them.
            if (!kept.large() && load_be32(kept.bytes.data()) == 0 && &b != &top.back()) {
                if (kept.size() > UINT32_MAX) return invalid(msg::kInvalidBoxSize);
                Bytes field(4);
                ByteWriter{field}.patch_u32(0, uint32_t(kept.size()));
                out->patches.push_back(Patch{size, std::move(field)});
            }
            MORVEX_CHECK(patch_moov(*out, moov_children, reset.timeline, late));
        } else if (b.type == box::moof) {
            MORVEX_CHECK(reset.patch_moof(*out, b));
        } else if (b.type == box::sidx) {
            reset.patch_sidx(*out, b);
        }
        size += kept.size();
    }
    PlannedOutput plan;
    plan.size = size;
    plan.write = [pieces, out](OutputBuffer& dest) {
        for (const auto& p : *pieces) copy_to(dest, p.at, p.bytes.data(), p.bytes.size());
        for (const auto& p : out->patches) std::memcpy(take(dest, p.at, p.bytes.size()), p.bytes.data(), p.bytes.size());
    };
    return plan;
}

Result<Bytes> reset_mp4_timestamps(ByteSpan data) { return MORVEX_TRY(plan_reset_mp4_timestamps(data)).to_bytes(); }

}  // namespace morvex
