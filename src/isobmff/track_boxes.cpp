#include "isobmff/track_boxes.h"

#include <algorithm>

#include "common/byte_reader.h"
#include "isobmff/fourcc.h"

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

Result<std::optional<Protection>> sample_entry_protection(const Box& stsd) {
    auto entry = MORVEX_TRY(first_sample_entry(stsd));
    if (!entry) return std::nullopt;
    size_t fields = 0;
    switch (entry->type) {
        case box::encv: fields = kVisualEntryFields; break;
        case box::enca: fields = kAudioEntryFields; break;
        case box::enct:
        case box::encs: fields = 8; break;  // reserved and data_reference_index
        default: return std::nullopt;
    }
    Protection p{entry->type, std::nullopt};
    if (entry->payload().size() < fields) return p;
    auto sinf = MORVEX_TRY(find_child(*entry, box::sinf, fields));
    if (!sinf) return p;
    // schm: version and flags, scheme_type, scheme_version.
    if (auto schm = MORVEX_TRY(find_child(*sinf, box::schm)); schm && schm->payload().size() >= 8)
        p.scheme = load_be32(schm->payload().data() + 4);
    // tenc: version and flags, a reserved byte, a byte of pattern (version 1)
    // or reserved, default_isProtected, default_Per_Sample_IV_Size, ...
    if (auto tenc = MORVEX_TRY(find_path(*sinf, {box::schi, box::tenc})); tenc && tenc->payload().size() >= 8)
        p.iv_size = tenc->payload()[7];
    return p;
}

std::optional<AuxSizes> read_saiz(ByteSpan p) {
    ByteReader r{p};
    auto version = r.u8();
    auto flags = r.u24();
    if (!version || !flags) return std::nullopt;
    AuxSizes out;
    if (*flags & 1) {
        auto type = r.u32();
        if (!type || !r.skip(4)) return std::nullopt;
        out.type = *type;
    }
    auto default_size = r.u8();
    auto count = r.u32();
    if (!default_size || !count) return std::nullopt;
    out.default_size = *default_size;
    out.count = *count;
    if (out.default_size == 0) {
        out.sizes = p.subspan(r.pos);
        out.count = uint32_t(std::min<uint64_t>(out.count, out.sizes.size()));
    }
    return out;
}

std::optional<AuxOffsets> read_saio(ByteSpan p) {
    ByteReader r{p};
    auto version = r.u8();
    auto flags = r.u24();
    if (!version || !flags) return std::nullopt;
    AuxOffsets out;
    if (*flags & 1) {
        auto type = r.u32();
        if (!type || !r.skip(4)) return std::nullopt;
        out.type = *type;
    }
    auto count = r.u32();
    if (!count) return std::nullopt;
    out.wide = *version == 1;
    out.entries = p.subspan(r.pos);
    out.count = uint32_t(std::min<uint64_t>(*count, out.entries.size() / (out.wide ? 8 : 4)));
    return out;
}

std::optional<AuxBoxes> find_aux_boxes(const std::vector<Box>& children, uint32_t scheme) {
    std::optional<AuxSizes> sizes;
    std::optional<AuxOffsets> offsets;
    for (const auto& c : children) {
        if (c.type == box::saiz && !sizes)
            if (auto z = read_saiz(c.payload()); z && (z->type == 0 || z->type == scheme)) sizes = z;
        if (c.type == box::saio && !offsets)
            if (auto o = read_saio(c.payload()); o && (o->type == 0 || o->type == scheme)) offsets = o;
    }
    if (!sizes || !offsets) return std::nullopt;
    return AuxBoxes{*sizes, *offsets};
}

bool has_sample_group(const std::vector<Box>& children, uint32_t grouping_type) {
    for (const auto& c : children)
        if ((c.type == box::sbgp || c.type == box::sgpd) && c.payload().size() >= 8 &&
            load_be32(c.payload().data() + 4) == grouping_type)
            return true;
    return false;
}

}  // namespace morvex
