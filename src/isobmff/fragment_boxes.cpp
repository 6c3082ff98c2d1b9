#include "isobmff/fragment_boxes.h"

#include "common/byte_reader.h"
#include "isobmff/fourcc.h"

namespace morvex {

RunSample TrunFields::sample(size_t i, const SampleDefaults& d) const {
    RunSample s{d.duration, d.size, d.flags, 0};
    if (stride == 0 && i == 0 && first_sample_flags) s.flags = *first_sample_flags;
    if (stride == 0) return s;
    const uint8_t* p = records.data() + i * stride;
    if (tr_flags & kTrSampleDuration) s.duration = load_be32(p), p += 4;
    if (tr_flags & kTrSampleSize) s.size = load_be32(p), p += 4;
    if (tr_flags & kTrSampleFlags) s.flags = load_be32(p), p += 4;
    else if (i == 0 && first_sample_flags) s.flags = *first_sample_flags;
    if (tr_flags & kTrSampleCts) s.composition_offset = load_be32(p);
    return s;
}

TfhdFields read_traf_header(const std::vector<Box>& traf_children) {
    TfhdFields f;
    for (const auto& c : traf_children) {
        if (c.type != box::tfhd || c.payload().size() < 8) continue;
        ByteReader r = c.reader();
        r.skip(1);
        f.tf_flags = *r.u24();
        f.track_id = *r.u32();
        f.base_data_offset.reset();
        if (f.tf_flags & kTfBaseDataOffset) f.base_data_offset = r.u64();
        if (f.tf_flags & kTfSampleDescription) r.skip(4);
        if (f.tf_flags & kTfDefaultDuration) f.duration = r.u32();
        if (f.tf_flags & kTfDefaultSize) f.size = r.u32();
        if (f.tf_flags & kTfDefaultFlags) f.flags = r.u32();
    }
    return f;
}

std::optional<TrunFields> read_trun(ByteSpan payload) {
    if (payload.size() < 8) return std::nullopt;
    ByteReader r{payload};
    TrunFields t;
    t.version = *r.u8();
    t.tr_flags = *r.u24();
    t.sample_count = *r.u32();
    if (t.tr_flags & kTrDataOffset)
        if (auto v = r.u32()) t.data_offset = int32_t(*v);
    if (t.tr_flags & kTrFirstSampleFlags) t.first_sample_flags = r.u32();
    for (uint32_t flag : {kTrSampleDuration, kTrSampleSize, kTrSampleFlags, kTrSampleCts})
        if (t.tr_flags & flag) t.stride += 4;
    t.records = payload.subspan(r.pos);
    return t;
}

SampleDefaults merge_defaults(const TfhdFields& tfhd, const SampleDefaults& trex) {
    return SampleDefaults{tfhd.duration.value_or(trex.duration), tfhd.size.value_or(trex.size),
                          tfhd.flags.value_or(trex.flags)};
}

TrexTable read_trex_table(const std::vector<Box>& moov_children) {
    TrexTable table;
    for (const auto& mvex : moov_children) {
        if (mvex.type != box::mvex) continue;
        auto children = child_boxes(mvex);
        if (!children) continue;
        // trex: version/flags, track_ID, default_sample_description_index,
        // default_sample_duration, default_sample_size, default_sample_flags.
        for (const auto& t : *children) {
            const ByteSpan p = t.payload();
            if (t.type == box::trex && p.size() >= 24)
                table.by_track.try_emplace(load_be32(p.data() + 4), SampleDefaults{load_be32(p.data() + 12),
                                                                                  load_be32(p.data() + 16),
                                                                                  load_be32(p.data() + 20)});
        }
    }
    return table;
}

std::optional<Tfdt> read_tfdt(ByteSpan p) {
    if (p.size() >= 12 && p[0] == 1) return Tfdt{load_be64(p.data() + 4), true};
    if (p.size() >= 8 && p[0] != 1) return Tfdt{load_be32(p.data() + 4), false};
    return std::nullopt;
}

void patch_tfdt(std::span<uint8_t> p, const Tfdt& tfdt, uint64_t time) {
    auto store = [&](size_t at, uint32_t v) {
        p[at] = uint8_t(v >> 24);
        p[at + 1] = uint8_t(v >> 16);
        p[at + 2] = uint8_t(v >> 8);
        p[at + 3] = uint8_t(v);
    };
    if (tfdt.wide) {
        store(4, uint32_t(time >> 32));
        store(8, uint32_t(time));
    } else {
        store(4, uint32_t(time));
    }
}

}  // namespace morvex
