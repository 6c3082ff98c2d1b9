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

namespace morvex {
namespace {

constexpr BoxRules kSegmentRules{Overrun::EndList, true};

std::optional<uint32_t> find_timescale(const std::vector<TrackTimescale>& tracks, uint32_t track_id) {
    for (const auto& t : tracks)
        if (t.track_id == track_id) return t.timescale;
    return std::nullopt;
}

// The base expressed in the timescale of `track`. Every track is moved back by
// the same instant: the first tfdt's value in its own track's timescale. The
// conversion is exact and truncates; it applies only when the initialisation
// segment gives the timescales of both tracks, otherwise the base is used as
// it stands.
uint64_t base_for_track(const FragmentedMP4Processor& p, std::optional<uint32_t> track) {
    uint64_t base = *p.base_decode_time;
    if (!track || !p.base_track_id) return base;
    auto from = find_timescale(p.timescales, *p.base_track_id);
    auto to = find_timescale(p.timescales, *track);
    if (!from || !to || *from == *to) return base;
    return scale_duration(base, *from, *to);
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

// A rebased decode time: where its tfdt payload is, and the payload's new bytes.
struct TfdtPatch {
    size_t at;
    uint8_t bytes[12];
    uint8_t size;
};

Result<void> rewrite_traf(FragmentedMP4Processor& p, const Box& traf, std::vector<TfdtPatch>& patches) {
    const std::optional<uint32_t> track = traf_track_id(traf);
    return for_each_child(traf, [&](const Box& child) -> Result<void> {
        if (child.type != box::tfdt) return {};
        // A box too short for its field is left as it is.
        auto tfdt = read_tfdt(child.payload());
        if (!tfdt) return {};
        if (!p.base_decode_time) {
            p.base_decode_time = tfdt->time;
            p.base_track_id = track;
        }
        const uint64_t base = base_for_track(p, track);
        TfdtPatch patch{child.payload_offset(), {}, uint8_t(tfdt->wide ? 12 : 8)};
        std::memcpy(patch.bytes, child.payload().data(), patch.size);
        patch_tfdt(std::span<uint8_t>(patch.bytes, patch.size), *tfdt, tfdt->time > base ? tfdt->time - base : 0);
        patches.push_back(patch);
        return {};
    });
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
        if (id && timescale && *timescale != 0) processor.timescales.push_back({*id, *timescale});
    }
}

void reset(FragmentedMP4Processor& processor) {
    processor.base_decode_time.reset();
    processor.base_track_id.reset();
}

Result<PlannedOutput> plan_segment(FragmentedMP4Processor& processor, ByteSpan segment) {
    // Every box that fits the segment is kept, in order; the first that
    // does not ends it. A malformed box fails the call, after the boxes
    // before it have had their say (a base met there stays set).
    size_t kept = 0;
    auto patches = std::make_shared<std::vector<TfdtPatch>>();
    while (auto b = MORVEX_TRY(read_box(segment, 0, kept, kSegmentRules))) {
        kept += b->size();
        if (b->type != box::moof) continue;
        MORVEX_CHECK(for_each_child(*b, [&](const Box& traf) -> Result<void> {
            if (traf.type != box::traf) return {};
            return rewrite_traf(processor, traf, *patches);
        }));
    }
    PlannedOutput plan;
    plan.size = kept;
    plan.write = [segment, patches](std::span<uint8_t> out) {
        if (!out.empty()) std::memcpy(take(out, 0, out.size()), segment.data(), out.size());
        for (const auto& p : *patches) std::memcpy(take(out, p.at, p.size), p.bytes, p.size);
    };
    return plan;
}

Result<Bytes> process_segment(FragmentedMP4Processor& processor, ByteSpan segment) {
    return MORVEX_TRY(plan_segment(processor, segment)).to_bytes();
}

}  // namespace morvex
