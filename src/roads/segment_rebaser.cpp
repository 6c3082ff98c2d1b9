// Segments come from a packager in the compact box form, one after another
// as a live stream delivers them: a size below 8 (0 and 1 included) is
// "Invalid box size", and a box cut off at the end of its segment is left
// out. The output is the input's prefix copied byte for byte, so a box at
// offset i of the segment sits at offset i of the output too; the walk reads
// the segment and patches decode times into the output at the same offsets.
#include "roads/segment_rebaser.h"

#include <cstring>
#include <memory>

#include "common/messages.h"
#include "isobmff/box.h"
#include "isobmff/fourcc.h"
#include "isobmff/fragment_boxes.h"
#include "isobmff/time_headers.h"
#include "media/timeline.h"

namespace morvex {
namespace {

constexpr BoxRules kSegmentRules{Overrun::EndList, true};

std::optional<uint32_t> find_timescale(const std::unordered_map<uint32_t, uint32_t>& timescales,
                                       std::optional<uint32_t> track_id) {
    if (!track_id) return std::nullopt;
    auto it = timescales.find(*track_id);
    if (it == timescales.end()) return std::nullopt;
    return it->second;
}

std::optional<uint64_t> find_own_base(const std::unordered_map<uint32_t, uint64_t>& bases, uint32_t track_id) {
    auto it = bases.find(track_id);
    if (it == bases.end()) return std::nullopt;
    return it->second;
}

// What the decode times of `track` move back by, in its own timescale (as
// signed times, media/timeline.h): the base, converted exactly (and rounded
// down) when the initialisation
// segment gives the timescales of both tracks. Otherwise the track moves
// back by its own first decode time, `tfdt` when it has none yet, since a
// base in another track's units would mean nothing in its own; a traf
// without a track_ID moves back by the base as it stands.
int64_t shift_for(FragmentedMP4Processor& p, std::optional<uint32_t> track, uint64_t tfdt) {
    const int64_t base = signed_time(*p.base_decode_time);
    if (!track) return base;
    auto from = find_timescale(p.timescales, p.base_track_id);
    auto to = find_timescale(p.timescales, track);
    if (from && to) return Instant{base, *from}.in(*to);
    if (p.base_track_id == track) return base;
    if (auto own = find_own_base(p.own_bases, *track)) return signed_time(*own);
    p.own_bases.emplace(*track, tfdt);
    return signed_time(tfdt);
}

// Children of a moof or traf in the segment form. Bytes the walk cannot
// split into children stay as they were copied, so the container keeps
// exactly the length its size field gives.
template <typename F>
Result<void> for_each_child(const Box& parent, F&& f) {
    size_t pos = 0;
    while (auto child = MORVEX_TRY(read_box(parent.payload(), parent.payload_offset(), pos, kSegmentRules))) {
        MORVEX_CHECK(f(*child));
        pos += child->size();
    }
    return {};
}

// track_ID of the traf's tfhd, when it has one that can be read. Only sound
// children are looked at.
std::optional<uint32_t> traf_track_id(const Box& traf) {
    size_t pos = 0;
    while (true) {
        auto child = read_box(traf.payload(), traf.payload_offset(), pos, kSegmentRules);
        if (!child || !*child) return std::nullopt;
        if ((*child)->type == box::tfhd && (*child)->payload().size() >= 8)
            return load_be32((*child)->payload().data() + 4);
        pos += (*child)->size();
    }
}

// Calls f(tfdt box, its value, its traf's track) for every readable tfdt of
// the segment's moofs, and g(box) for every top-level box; the boxes that
// fit the segment, in order, end the walk at the first that does not.
// Returns how many bytes those boxes take.
template <typename F, typename G>
Result<size_t> walk_segment(ByteSpan segment, F&& f, G&& g) {
    size_t kept = 0;
    while (auto b = MORVEX_TRY(read_box(segment, 0, kept, kSegmentRules))) {
        kept += b->size();
        g(*b);
        if (b->type != box::moof) continue;
        MORVEX_CHECK(for_each_child(*b, [&](const Box& traf) -> Result<void> {
            if (traf.type != box::traf) return {};
            const std::optional<uint32_t> track = traf_track_id(traf);
            return for_each_child(traf, [&](const Box& child) -> Result<void> {
                if (child.type != box::tfdt) return {};
                // A box too short for its field is left as it is.
                if (auto tfdt = read_tfdt(child.payload())) f(child, *tfdt, track);
                return {};
            });
        }));
    }
    return kept;
}

// The base, from the first segment that has a decode time: the earliest
// of its tracks' first decode times, compared through their timescales;
// without them, the first one met. A malformed box ends the walk; the
// times met before it still give the base.
Result<void> settle_base(FragmentedMP4Processor& p, ByteSpan segment) {
    struct Met {
        uint64_t time;
        std::optional<uint32_t> track;
    };
    std::optional<Met> first, earliest;
    std::optional<Instant> earliest_instant;
    auto walked = walk_segment(
        segment,
        [&](const Box&, const Tfdt& tfdt, std::optional<uint32_t> track) {
            if (!first) first = Met{tfdt.time, track};
            auto timescale = find_timescale(p.timescales, track);
            if (!timescale) return;
            const Instant at{signed_time(tfdt.time), *timescale};
            if (!earliest_instant || at < *earliest_instant) {
                earliest_instant = at;
                earliest = Met{tfdt.time, track};
            }
        },
        [](const Box&) {});
    if (const auto& chosen = earliest ? earliest : first) {
        p.base_decode_time = chosen->time;
        p.base_track_id = chosen->track;
    }
    if (!walked) return std::unexpected<Error>(walked.error());
    return {};
}

// A field rebased in place: where it is in the segment, and its new bytes.
struct FieldPatch {
    size_t at;
    uint8_t bytes[12];
    uint8_t size;
};

// sidx (8.16.3): version and flags, reference_ID, timescale, then
// earliest_presentation_time, 64 bits wide in version 1. It moves with the
// decode times of its reference track, converted to its timescale.
std::optional<FieldPatch> rebase_sidx(FragmentedMP4Processor& p, const Box& sidx) {
    const ByteSpan q = sidx.payload();
    const bool wide = !q.empty() && q[0] == 1;
    if (q.size() < (wide ? 20u : 16u)) return std::nullopt;
    const uint32_t track = load_be32(q.data() + 4), timescale = load_be32(q.data() + 8);
    const uint64_t time = wide ? load_be64(q.data() + 12) : load_be32(q.data() + 12);
    // The shift in ticks of the sidx; a track whose timescale the init
    // segment does not give is taken to count in the sidx's.
    int64_t shift = 0;
    auto from = find_timescale(p.timescales, p.base_track_id);
    auto own = find_timescale(p.timescales, track);
    if (timescale == 0) return std::nullopt;
    if (from && own) shift = Instant{signed_time(*p.base_decode_time), *from}.in(timescale);
    else if (p.base_track_id == track) shift = Instant{signed_time(*p.base_decode_time), from.value_or(timescale)}.in(timescale);
    else if (auto base = find_own_base(p.own_bases, track)) shift = Instant{signed_time(*base), own.value_or(timescale)}.in(timescale);
    else return std::nullopt;
    const uint64_t rebased = moved_back(time, shift);
    FieldPatch patch{sidx.payload_offset() + 12, {}, uint8_t(wide ? 8 : 4)};
    for (int k = 0; k < patch.size; ++k) patch.bytes[k] = uint8_t(rebased >> (8 * (patch.size - 1 - k)));
    return patch;
}

}  // namespace

void set_init_segment(FragmentedMP4Processor& processor, ByteSpan init) {
    processor.init_segment.assign(init.begin(), init.end());
    processor.timescales.clear();
    // The tracks of the first top-level moov whose tkhd and mdhd can be read
    // and whose timescale is not 0; unreadable tracks give fewer entries.
    auto top = top_level_boxes(init);
    const std::vector<Box> none;
    const Box* moov = top ? first_of(*top, box::moov) : nullptr;
    if (!moov) return;
    auto traks = child_boxes(*moov);
    if (!traks) return;
    for (const auto& trak : *traks) {
        if (trak.type != box::trak) continue;
        auto tkhd = find_child(trak, box::tkhd);
        auto mdhd = find_path(trak, {box::mdia, box::mdhd});
        if (!tkhd || !*tkhd || !mdhd || !*mdhd) continue;
        auto id = tkhd_track_id((*tkhd)->payload());
        auto timescale = mdhd_timescale((*mdhd)->payload());
        if (id && timescale && *timescale != 0) processor.timescales.try_emplace(*id, *timescale);
    }
}

void reset(FragmentedMP4Processor& processor) {
    processor.base_decode_time.reset();
    processor.base_track_id.reset();
    processor.own_bases.clear();
}

Result<PlannedOutput> plan_segment(FragmentedMP4Processor& processor, ByteSpan segment) {
    if (!processor.base_decode_time) MORVEX_CHECK(settle_base(processor, segment));
    // Every box that fits the segment is kept, in order; the first that
    // does not ends it. A malformed box fails the call.
    auto patches = std::make_shared<std::vector<FieldPatch>>();
    std::vector<Box> sidxs;
    const size_t kept = MORVEX_TRY(walk_segment(
        segment,
        [&](const Box& box, const Tfdt& tfdt, std::optional<uint32_t> track) {
            const int64_t shift = shift_for(processor, track, tfdt.time);
            FieldPatch patch{box.payload_offset(), {}, uint8_t(tfdt.wide ? 12 : 8)};
            std::memcpy(patch.bytes, box.payload().data(), patch.size);
            patch_tfdt(std::span<uint8_t>(patch.bytes, patch.size), tfdt, moved_back(tfdt.time, shift));
            patches->push_back(patch);
        },
        [&](const Box& b) {
            if (b.type == box::sidx) sidxs.push_back(b);
        }));
    if (processor.base_decode_time)
        for (const auto& sidx : sidxs)
            if (auto patch = rebase_sidx(processor, sidx)) patches->push_back(*patch);
    PlannedOutput plan;
    plan.size = kept;
    plan.write = [segment, patches](OutputBuffer& out) {
        copy_to(out, 0, segment.data(), out.size());
        for (const auto& p : *patches) std::memcpy(take(out, p.at, p.size), p.bytes, p.size);
    };
    return plan;
}

Result<Bytes> process_segment(FragmentedMP4Processor& processor, ByteSpan segment) {
    return MORVEX_TRY(plan_segment(processor, segment)).to_bytes();
}

}  // namespace morvex
