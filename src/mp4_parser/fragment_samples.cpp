#include "mp4_parser/fragment_samples.h"

#include <algorithm>
#include <string>

#include "common/byte_reader.h"

namespace morvex {
namespace {

constexpr uint32_t kTrak = fourcc_value("trak"), kTkhd = fourcc_value("tkhd"), kMdia = fourcc_value("mdia"),
                   kMdhd = fourcc_value("mdhd"), kMinf = fourcc_value("minf"), kStbl = fourcc_value("stbl"),
                   kStsd = fourcc_value("stsd"), kMvex = fourcc_value("mvex"), kTrex = fourcc_value("trex"),
                   kMoof = fourcc_value("moof"), kTraf = fourcc_value("traf"), kTfhd = fourcc_value("tfhd"),
                   kTrun = fourcc_value("trun");

// tf_flags of 8.8.7.1
constexpr uint32_t kBaseDataOffset = 0x01, kSampleDescription = 0x02, kDefaultDuration = 0x08,
                   kDefaultSize = 0x10, kDefaultFlags = 0x20, kDefaultBaseIsMoof = 0x020000;
// tr_flags of 8.8.8.1
constexpr uint32_t kDataOffset = 0x001, kFirstSampleFlags = 0x004, kSampleDuration = 0x100, kSampleSize = 0x200,
                   kSampleFlags = 0x400, kSampleCts = 0x800;

// One moof against the mdat that follows it.
Result<void> read_moof(ByteSpan data, const Mp4Box& moof, const MdatInfo& mdat, std::vector<TrackFragments>& tracks) {
    auto children = parse_container_box(moof.data);
    if (!children) return std::unexpected(children.error());
    const uint64_t mdat_begin = mdat.data_offset, mdat_end = mdat.data_offset + mdat.data_len;
    // Data of a traf without an explicit base follows the previous traf's
    // data (8.8.7.1); the first one starts at the moof.
    uint64_t previous_traf_end = moof.offset;
    for (const auto& traf : *children) {
        if (traf.box_type != kTraf) continue;
        auto parts = parse_container_box(traf.data);
        if (!parts) return std::unexpected(parts.error());
        const TfhdFields tfhd = read_traf_header(*parts);
        TrackFragments* track = nullptr;
        for (auto& t : tracks)
            if (t.track_id == tfhd.track_id) {
                track = &t;
                break;
            }
        const SampleDefaults defaults = merge_defaults(tfhd, track ? track->trex : SampleDefaults{});
        const uint64_t base = tfhd.base_data_offset ? *tfhd.base_data_offset
                              : (tfhd.tf_flags & kDefaultBaseIsMoof) ? moof.offset
                                                                      : previous_traf_end;
        std::optional<uint64_t> next_run;  // end of the previous run's bytes
        std::optional<uint64_t> traf_end;
        for (const auto& box : *parts) {
            if (box.box_type != kTrun) continue;
            auto run = read_trun(box.data);
            if (!run) continue;
            // Every sample has a record in the run or bytes in the file, so a
            // count above the file's length describes nothing real.
            if (run->sample_count > data.size())
                return fail(ErrorKind::InvalidData, "trun sample count " + std::to_string(run->sample_count) +
                                                        " exceeds what a file of " + std::to_string(data.size()) +
                                                        " bytes can hold");
            std::optional<uint64_t> start;
            if (run->data_offset) start = base + uint64_t(int64_t(*run->data_offset));
            else start = next_run;  // the first run of a traf needs an offset
            if (!start) {
                next_run.reset();
                continue;
            }
            // Samples are kept while their bytes lie inside this mdat's
            // payload; the first that does not ends the run, as does a
            // missing record of a truncated run.
            const uint64_t present = run->present();
            // Reserve no more than the records, or the media bytes, can hold.
            const uint64_t bound = run->stride || !defaults.size ? present
                                                                 : std::min(present, mdat.data_len / defaults.size);
            if (track && track->samples.capacity() - track->samples.size() < bound) {
                // Grow geometrically: many small runs must not copy the table each time.
                track->samples.reserve(std::max(track->samples.size() + size_t(bound), 2 * track->samples.capacity()));
            }
            uint64_t pos = *start;
            bool whole = present == run->sample_count;
            for (uint64_t i = 0; i < present; ++i) {
                const FragmentSampleInfo s = run->sample(size_t(i), defaults);
                if (pos < mdat_begin || pos > mdat_end || s.size > mdat_end - pos) {
                    whole = false;
                    break;
                }
                pos += s.size;
                if (track) track->samples.push_back(s);
            }
            if (track && pos > *start)
                track->mdat_data.insert(track->mdat_data.end(), data.begin() + size_t(*start), data.begin() + size_t(pos));
            if (whole) next_run = pos;
            else next_run.reset();
            traf_end = pos;
        }
        if (traf_end) previous_traf_end = *traf_end;
    }
    return {};
}

}  // namespace

uint32_t tkhd_track_id(const std::vector<Mp4Box>& trak_children) {
    // The first tkhd long enough to be looked at decides, even when its
    // track_ID lies beyond its payload.
    for (const auto& c : trak_children) {
        if (c.box_type != kTkhd || c.data.size() < 12) continue;
        const size_t at = c.data[0] == 1 ? 20 : 12;
        return c.data.size() >= at + 4 ? load_be32(c.data.data() + at) : 0;
    }
    return 0;
}

FragmentSampleInfo TrunFields::sample(size_t i, const SampleDefaults& d) const {
    FragmentSampleInfo s{d.duration, d.size, d.flags, 0};
    if (stride == 0 && i == 0 && first_sample_flags) s.flags = *first_sample_flags;
    if (stride == 0) return s;
    const uint8_t* p = records.data() + i * stride;
    if (tr_flags & kSampleDuration) s.duration = load_be32(p), p += 4;
    if (tr_flags & kSampleSize) s.size = load_be32(p), p += 4;
    if (tr_flags & kSampleFlags) s.flags = load_be32(p), p += 4;
    else if (i == 0 && first_sample_flags) s.flags = *first_sample_flags;
    if (tr_flags & kSampleCts) s.composition_offset = load_be32(p);
    return s;
}

TfhdFields read_traf_header(const std::vector<Mp4Box>& traf_children) {
    TfhdFields f;
    for (const auto& c : traf_children) {
        if (c.box_type != kTfhd || c.data.size() < 8) continue;
        ByteReader r{c.data};
        r.skip(1);
        f.tf_flags = *r.u24();
        f.track_id = *r.u32();
        f.base_data_offset.reset();
        if (f.tf_flags & kBaseDataOffset) f.base_data_offset = r.u64();
        if (f.tf_flags & kSampleDescription) r.skip(4);
        if (f.tf_flags & kDefaultDuration) f.duration = r.u32();
        if (f.tf_flags & kDefaultSize) f.size = r.u32();
        if (f.tf_flags & kDefaultFlags) f.flags = r.u32();
    }
    return f;
}

std::optional<TrunFields> read_trun(ByteSpan payload) {
    if (payload.size() < 8) return std::nullopt;
    ByteReader r{payload};
    TrunFields t;
    r.skip(1);
    t.tr_flags = *r.u24();
    t.sample_count = *r.u32();
    if (t.tr_flags & kDataOffset)
        if (auto v = r.u32()) t.data_offset = int32_t(*v);
    if (t.tr_flags & kFirstSampleFlags) t.first_sample_flags = r.u32();
    for (uint32_t flag : {kSampleDuration, kSampleSize, kSampleFlags, kSampleCts})
        if (t.tr_flags & flag) t.stride += 4;
    t.records = payload.subspan(r.pos);
    return t;
}

SampleDefaults merge_defaults(const TfhdFields& tfhd, const SampleDefaults& trex) {
    return SampleDefaults{tfhd.duration.value_or(trex.duration), tfhd.size.value_or(trex.size),
                          tfhd.flags.value_or(trex.flags)};
}

SampleDefaults trex_defaults(const std::vector<Mp4Box>& moov_children, uint32_t track_id) {
    for (const auto& mvex : moov_children) {
        if (mvex.box_type != kMvex) continue;
        auto children = parse_container_box(mvex.data);
        if (!children) continue;
        // trex: version/flags, track_ID, default_sample_description_index,
        // default_sample_duration, default_sample_size, default_sample_flags.
        for (const auto& t : *children)
            if (t.box_type == kTrex && t.data.size() >= 24 && load_be32(t.data.data() + 4) == track_id)
                return SampleDefaults{load_be32(t.data.data() + 12), load_be32(t.data.data() + 16),
                                      load_be32(t.data.data() + 20)};
    }
    return {};
}

Result<std::vector<TrackFragments>> extract_track_info_from_moov(ByteSpan moov_payload) {
    auto children = parse_container_box(moov_payload);
    if (!children) return std::unexpected(children.error());
    std::vector<TrackFragments> tracks;
    for (const auto& trak : *children) {
        if (trak.box_type != kTrak) continue;
        auto parts = parse_container_box(trak.data);
        if (!parts) return std::unexpected(parts.error());
        TrackFragments t;
        t.track_id = tkhd_track_id(*parts);
        for (const auto& mdia : *parts) {
            if (mdia.box_type != kMdia) continue;
            auto media = parse_container_box(mdia.data);
            if (!media) return std::unexpected(media.error());
            for (const auto& m : *media) {
                if (m.box_type == kMdhd && m.data.size() >= 20) {
                    const size_t at = m.data[0] == 1 ? 20 : 12;
                    if (m.data.size() >= at + 4) t.timescale = load_be32(m.data.data() + at);
                }
                if (m.box_type != kMinf) continue;
                auto minf = parse_container_box(m.data);
                if (!minf) return std::unexpected(minf.error());
                for (const auto& stbl : *minf) {
                    if (stbl.box_type != kStbl) continue;
                    auto table = parse_container_box(stbl.data);
                    if (!table) return std::unexpected(table.error());
                    for (const auto& s : *table)
                        if (s.box_type == kStsd) t.stsd_payload = s.data;
                }
            }
        }
        t.trex = trex_defaults(*children, t.track_id);
        tracks.push_back(std::move(t));
    }
    return tracks;
}

Result<void> collect_fragment_data(ByteSpan data, const std::vector<BoxInfo>& box_infos,
                                   std::vector<TrackFragments>& tracks) {
    const Mp4Box* pending = nullptr;
    for (const auto& info : box_infos) {
        if (const auto* b = std::get_if<Mp4Box>(&info)) {
            if (b->box_type == kMoof) pending = b;
            continue;
        }
        if (!pending) continue;
        const auto& mdat = std::get<MdatInfo>(info);
        if (auto ok = read_moof(data, *pending, mdat, tracks); !ok) return ok;
        pending = nullptr;
    }
    return {};
}

}  // namespace morvex
