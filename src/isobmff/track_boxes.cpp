#include "isobmff/track_boxes.h"

#include "common/byte_reader.h"

namespace morvex {

std::optional<uint32_t> hdlr_handler_type(ByteSpan p) {
    if (p.size() < 12) return std::nullopt;
    return load_be32(p.data() + 8);
}

std::vector<Edit> read_elst(ByteSpan p) {
    std::vector<Edit> edits;
    ByteReader r{p};
    auto version = r.u8();
    if (!version || !r.skip(3)) return edits;
    auto count = r.u32();
    if (!count) return edits;
    const size_t entry = *version == 1 ? 20 : 12;
    const uint64_t n = std::min<uint64_t>(*count, r.remaining() / entry);
    edits.reserve(size_t(n));
    for (uint64_t i = 0; i < n; ++i) {
        Edit e;
        if (*version == 1) {
            e.segment_duration = *r.u64();
            e.media_time = int64_t(*r.u64());
        } else {
            e.segment_duration = *r.u32();
            e.media_time = int32_t(*r.u32());
        }
        e.rate = *r.u32();
        edits.push_back(e);
    }
    return edits;
}

void write_edts(ByteWriter& w, const std::vector<Edit>& edits) {
    bool wide = false;
    for (const auto& e : edits)
        wide |= e.segment_duration > 0xFFFFFFFFu || e.media_time > INT32_MAX || e.media_time < INT32_MIN;
    size_t edts = w.begin_box("edts");
    size_t elst = w.begin_full_box("elst", wide ? 1 : 0, 0);
    w.u32(uint32_t(edits.size()));
    for (const auto& e : edits) {
        if (wide) {
            w.u64(e.segment_duration);
            w.u64(uint64_t(e.media_time));
        } else {
            w.u32(uint32_t(e.segment_duration));
            w.u32(uint32_t(int32_t(e.media_time)));
        }
        w.u32(e.rate);
    }
    w.end_box(elst);
    w.end_box(edts);
}

Result<std::optional<Box>> first_sample_entry(const Box& stsd) {
    // version, flags and entry_count come before the entries.
    auto entry = MORVEX_TRY(read_box(stsd.payload(), stsd.payload_offset(), 8, BoxRules{}));
    return entry;
}

}  // namespace morvex
