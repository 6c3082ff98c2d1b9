#include "mp4/fragmented_writer.h"

#include <algorithm>
#include <cstring>

#include "common/byte_writer.h"
#include "common/messages.h"
#include "isobmff/box.h"
#include "isobmff/fourcc.h"
#include "isobmff/fragment_boxes.h"
#include "isobmff/time_headers.h"
#include "mp4/fragmenter.h"
#include "mp4/movie_boxes.h"

namespace morvex {
namespace {

// ftyp: major brand iso6, minor version 0, compatible iso6, isom, iso5.
constexpr uint8_t kFragmentedFtyp[28] = {0,   0,   0,   28,  'f', 't', 'y', 'p', 'i', 's', 'o', '6', 0,   0,
                                         0,   0,   'i', 's', 'o', '6', 'i', 's', 'o', 'm', 'i', 's', 'o', '5'};

void write_empty_full_box(ByteWriter& w, std::string_view type, size_t zero_words) {
    size_t m = w.begin_full_box(type, 0, 0);
    for (size_t i = 0; i < zero_words; ++i) w.u32(0);
    w.end_box(m);
}

// A time header rebuilt with duration 0 (the fragments carry the media).
Result<void> write_zero_time_box(ByteWriter& w, const Box& b, TimeBox kind, std::optional<uint32_t> track_id = {}) {
    auto h = MORVEX_TRY(read_time_header(kind, b.payload()));
    if (!h) {
        w.bytes(b.bytes);
        return {};
    }
    Bytes p = rebuild_time_header(*h, b.payload(), 0);
    if (track_id && kind == TimeBox::Tkhd) ByteWriter{p}.patch_u32(p[0] == 1 ? 20 : 12, *track_id);
    size_t m = w.begin_box_type(b.type);
    w.bytes(p);
    w.end_box(m);
    return {};
}

// stbl with the template's stsd and sample tables of no entries: the
// samples are all in the fragments (8.8.1).
Result<void> write_empty_stbl(ByteWriter& w, const Box& stbl) {
    size_t m = w.begin_box("stbl");
    if (auto stsd = MORVEX_TRY(find_child(stbl, box::stsd))) w.bytes(stsd->bytes);
    write_empty_full_box(w, "stts", 1);  // entry_count
    write_empty_full_box(w, "stsc", 1);  // entry_count
    write_empty_full_box(w, "stsz", 2);  // sample_size, sample_count
    write_empty_full_box(w, "stco", 1);  // entry_count
    w.end_box(m);
    return {};
}

Result<void> write_fragmented_trak(ByteWriter& w, const Track& t) {
    auto trak = MORVEX_TRY(read_box(t.trak, 0, 0, BoxRules{Overrun::Error}));
    if (!trak) return invalid(msg::kInvalidBoxSize);
    size_t m = w.begin_box("trak");
    for (const auto& part : MORVEX_TRY(child_boxes(*trak))) {
        if (part.type == box::tkhd) {
            MORVEX_CHECK(write_zero_time_box(w, part, TimeBox::Tkhd, t.track_id));
        } else if (part.type == box::edts) {
            continue;  // the delay is the first fragment's decode time
        } else if (part.type == box::mdia) {
            size_t mdia = w.begin_box("mdia");
            for (const auto& mp : MORVEX_TRY(child_boxes(part))) {
                if (mp.type == box::mdhd) {
                    MORVEX_CHECK(write_zero_time_box(w, mp, TimeBox::Mdhd));
                } else if (mp.type == box::minf) {
                    size_t minf = w.begin_box("minf");
                    for (const auto& c : MORVEX_TRY(child_boxes(mp))) {
                        if (c.type == box::stbl) MORVEX_CHECK(write_empty_stbl(w, c));
                        else w.bytes(c.bytes);
                    }
                    w.end_box(minf);
                } else {
                    w.bytes(mp.bytes);
                }
            }
            w.end_box(mdia);
        } else {
            w.bytes(part.bytes);
        }
    }
    w.end_box(m);
    return {};
}

// trun fields present in a run (8.8.8): sizes and durations always; the
// first sample's flags when every later sample has the default ones, each
// sample's flags otherwise; composition offsets when one is not 0.
struct RunShape {
    bool first_flags = false;
    bool per_sample_flags = false;
    bool cts = false;
    bool negative_cts = false;
};

uint32_t flags_of(const Sample& s) { return s.sync ? kSyncSampleFlags : kNonSyncSampleFlags; }

RunShape shape_of(const TrackRun& r) {
    RunShape s;
    for (size_t i = 0; i < r.samples.size(); ++i) {
        const Sample& x = r.samples[i];
        if (i > 0 && flags_of(x) != r.default_flags) s.per_sample_flags = true;
        if (x.composition_offset != 0) s.cts = true;
        if (x.composition_offset < 0) s.negative_cts = true;
    }
    s.first_flags = !s.per_sample_flags && !r.samples.empty() && flags_of(r.samples[0]) != r.default_flags;
    return s;
}

constexpr uint64_t kMfhdSize = 16, kTfhdSize = 20, kTfdtSize = 20;

uint64_t trun_size(const TrackRun& r, const RunShape& s) {
    const uint64_t record = 8 + (s.per_sample_flags ? 4 : 0) + (s.cts ? 4 : 0);
    return 12 + 4 + 4 + (s.first_flags ? 4 : 0) + record * r.samples.size();
}

uint64_t moof_size(const MovieFragment& f) {
    uint64_t size = 8 + kMfhdSize;
    for (const auto& r : f.runs)
        if (!r.samples.empty()) size += 8 + kTfhdSize + kTfdtSize + trun_size(r, shape_of(r));
    return size;
}

uint64_t mdat_payload(const MovieFragment& f) {
    uint64_t n = 0;
    for (const auto& r : f.runs)
        for (const auto& s : r.samples) n += s.size;
    return n;
}

constexpr uint64_t kMax32 = 0xFFFFFFFFull;

uint64_t mdat_header_size(uint64_t payload) { return payload > kMax32 - 8 ? 16 : 8; }

// Writes big-endian values at a moving pointer.
struct Out {
    uint8_t* p;
    void u32(uint32_t v) {
        p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
        p += 4;
    }
    void u64(uint64_t v) {
        u32(uint32_t(v >> 32));
        u32(uint32_t(v));
    }
    void header(uint64_t size, const char* type) {
        u32(uint32_t(size));
        std::memcpy(p, type, 4);
        p += 4;
    }
    void full_header(uint64_t size, const char* type, uint8_t version, uint32_t flags) {
        header(size, type);
        u32((uint32_t(version) << 24) | flags);
    }
};

}  // namespace

uint64_t leading_empty_time(const Track& t, uint32_t movie_timescale) {
    uint64_t delay = 0;
    for (const auto& e : t.edits) {
        if (e.media_time != -1) break;
        delay += e.segment_duration;
    }
    return scale_duration(delay, movie_timescale, t.timescale);
}

Result<Bytes> build_init_segment(std::span<const Track> tracks, uint32_t movie_timescale, ByteSpan ftyp) {
    Bytes out;
    ByteWriter w{out};
    w.bytes(ftyp.empty() ? ByteSpan(kFragmentedFtyp) : ftyp);
    uint32_t next_track_id = 1;
    for (const auto& t : tracks) next_track_id = std::max(next_track_id, t.track_id + 1);
    size_t moov = w.begin_box("moov");
    write_mvhd(w, movie_timescale, 0, next_track_id);
    for (const auto& t : tracks) MORVEX_CHECK(write_fragmented_trak(w, t));
    size_t mvex = w.begin_box("mvex");
    for (const auto& t : tracks) {
        size_t trex = w.begin_full_box("trex", 0, 0);
        w.u32(t.track_id);
        w.u32(1);  // default_sample_description_index
        w.u32(0);  // default_sample_duration
        w.u32(0);  // default_sample_size
        w.u32(t.handler == box::vide ? kNonSyncSampleFlags : kSyncSampleFlags);
        w.end_box(trex);
    }
    w.end_box(mvex);
    w.end_box(moov);
    return out;
}

uint64_t fragment_size(const MovieFragment& f) {
    const uint64_t payload = mdat_payload(f);
    return moof_size(f) + mdat_header_size(payload) + payload;
}

uint8_t* write_fragment(const MovieFragment& f, uint8_t* out) {
    const uint64_t moof = moof_size(f);
    const uint64_t payload = mdat_payload(f);
    const uint64_t mdat_header = mdat_header_size(payload);
    Out o{out};
    o.header(moof, "moof");
    o.full_header(kMfhdSize, "mfhd", 0, 0);
    o.u32(f.sequence);
    // data_offset counts from the first byte of the moof (default-base-is-moof).
    uint64_t data_at = moof + mdat_header;
    for (const auto& r : f.runs) {
        if (r.samples.empty()) continue;
        const RunShape s = shape_of(r);
        const uint64_t trun = trun_size(r, s);
        o.header(8 + kTfhdSize + kTfdtSize + trun, "traf");
        o.full_header(kTfhdSize, "tfhd", 0, kTfDefaultBaseIsMoof | kTfDefaultFlags);
        o.u32(r.track_id);
        o.u32(r.default_flags);
        o.full_header(kTfdtSize, "tfdt", 1, 0);
        o.u64(r.decode_time);
        uint32_t tr_flags = kTrDataOffset | kTrSampleDuration | kTrSampleSize;
        if (s.first_flags) tr_flags |= kTrFirstSampleFlags;
        if (s.per_sample_flags) tr_flags |= kTrSampleFlags;
        if (s.cts) tr_flags |= kTrSampleCts;
        // Version 1 reads the composition offsets as signed (8.8.8.1).
        o.full_header(trun, "trun", s.negative_cts ? 1 : 0, tr_flags);
        o.u32(uint32_t(r.samples.size()));
        o.u32(uint32_t(data_at));
        if (s.first_flags) o.u32(flags_of(r.samples[0]));
        for (const auto& fs : r.samples) {
            o.u32(fs.duration);
            o.u32(fs.size);
            if (s.per_sample_flags) o.u32(flags_of(fs));
            if (s.cts) o.u32(uint32_t(fs.composition_offset));
            data_at += fs.size;
        }
    }
    if (mdat_header == 16) {
        o.u32(1);
        std::memcpy(o.p, "mdat", 4);
        o.p += 4;
        o.u64(payload + 16);
    } else {
        o.header(payload + 8, "mdat");
    }
    uint8_t* p = o.p;
    for (const auto& r : f.runs)
        for (const auto& fs : r.samples) p = write_sample(*r.track, fs, p);
    return p;
}

std::vector<MovieFragment> fragment_movie(const Movie& movie, uint32_t first_sequence) {
    Fragmenter f;
    f.sequence = first_sequence;
    for (const auto& t : movie.tracks) fragmenter_add_track(f, &t, leading_empty_time(t, movie.timescale));
    for (size_t k = 0; k < movie.tracks.size(); ++k)
        for (const Sample& s : movie.tracks[k].samples) fragmenter_add(f, k, s);
    return fragmenter_take(f, true);
}

Result<PlannedOutput> plan_fragmented_mp4(std::shared_ptr<const Movie> movie, std::shared_ptr<const void> keep) {
    auto init = std::make_shared<Bytes>(MORVEX_TRY(build_init_segment(movie->tracks, movie->timescale)));
    auto fragments = std::make_shared<std::vector<MovieFragment>>(fragment_movie(*movie));
    uint64_t size = init->size();
    for (const auto& f : *fragments) size += fragment_size(f);
    PlannedOutput p;
    p.size = size_t(size);
    p.write = [movie, keep, init, fragments](OutputBuffer& out) {
        copy_to(out, 0, init->data(), init->size());
        size_t at = init->size();
        for (const auto& f : *fragments) {
            const size_t n = size_t(fragment_size(f));
            check_end(out, at, n, write_fragment(f, take(out, at, n)));
            at += n;
        }
        if (at != out.size()) throw OutputOverrun();
    };
    return p;
}

}  // namespace morvex
