#include "mp4/regular_writer.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/messages.h"
#include "isobmff/box.h"
#include "isobmff/fourcc.h"
#include "isobmff/time_headers.h"
#include "mp4/sample_tables.h"

namespace morvex {

const uint8_t kRebuiltFtyp[32] = {0,   0,   0,   32,  'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0,   0,   0,   2,
                                  'i', 's', 'o', 'm', 'i', 's', 'o', '2', 'a', 'v', 'c', '1', 'm', 'p', '4', '1'};

namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFFull;

// Seconds before the track's media starts: the empty edits at the front of
// its edit list, in the movie timescale.
double leading_delay(const Track& t, uint32_t movie_timescale) {
    uint64_t delay = 0;
    for (const auto& e : t.edits) {
        if (e.media_time != -1) break;
        delay += e.segment_duration;
    }
    return movie_timescale ? double(delay) / movie_timescale : 0.0;
}

// Chunks of about half a second of decode time each; a joined track's
// chunks end where its parts do.
std::vector<TrackChunks> plan_chunks(const Movie& movie) {
    std::vector<TrackChunks> out(movie.tracks.size());
    for (size_t k = 0; k < movie.tracks.size(); ++k) {
        const Track& t = movie.tracks[k];
        TrackChunks& chunks = out[k];
        const uint64_t span = std::max<uint64_t>(1, t.timescale / 2);
        uint64_t dts = 0, chunk_start = 0;
        uint32_t in_chunk = 0;
        uint32_t description = 1;
        size_t part = 0;
        auto close = [&] {
            ChunkRun* last = chunks.runs.empty() ? nullptr : &chunks.runs.back();
            if (last && last->samples_per_chunk == in_chunk && last->description == description) last->chunks++;
            else chunks.runs.push_back(ChunkRun{1, in_chunk, description});
            chunks.count++;
        };
        for (uint32_t i = 0; i < t.samples.size(); ++i) {
            const bool part_begins = part < t.parts.size() && t.parts[part].first == i;
            if (in_chunk > 0 && (dts - chunk_start >= span || part_begins)) {
                close();
                in_chunk = 0;
                chunk_start = dts;
            }
            if (part_begins) description = t.parts[part++].description;
            in_chunk++;
            dts += t.samples[i].duration;
        }
        if (in_chunk > 0) close();
    }
    return out;
}

}  // namespace

void for_each_chunk(const Movie& movie, const std::vector<TrackChunks>& chunks,
                    const std::function<void(const ChunkAt&)>& f) {
    // Each track's chunks start at non-decreasing instants; the next chunk
    // of the file is the one that starts first of the tracks' next ones,
    // the lower track on a tie, so each track keeps its own order.
    struct Cursor {
        double start;
        uint32_t track;
        bool operator>(const Cursor& o) const { return start != o.start ? start > o.start : track > o.track; }
    };
    struct Position {
        size_t run = 0;         // in TrackChunks::runs
        uint32_t in_run = 0;    // chunks of that run already handed over
        uint64_t index = 0;     // of the next chunk
        uint32_t sample = 0;    // its first sample
        uint64_t dts = 0;       // where it starts, in the media timescale
    };
    std::vector<Position> at(movie.tracks.size());
    std::vector<double> delay(movie.tracks.size()), unit(movie.tracks.size());
    std::priority_queue<Cursor, std::vector<Cursor>, std::greater<Cursor>> queue;
    for (uint32_t k = 0; k < movie.tracks.size(); ++k) {
        const Track& t = movie.tracks[k];
        delay[k] = leading_delay(t, movie.timescale);
        unit[k] = t.timescale ? 1.0 / t.timescale : 0.0;
        if (chunks[k].count) queue.push(Cursor{delay[k], k});
    }
    while (!queue.empty()) {
        const uint32_t k = queue.top().track;
        queue.pop();
        Position& p = at[k];
        const ChunkRun& run = chunks[k].runs[p.run];
        f(ChunkAt{k, p.index, p.sample, run.samples_per_chunk});
        for (uint32_t i = 0; i < run.samples_per_chunk; ++i) p.dts += movie.tracks[k].samples[p.sample + i].duration;
        p.sample += run.samples_per_chunk;
        if (++p.in_run == run.chunks) {
            p.run++;
            p.in_run = 0;
        }
        if (++p.index < chunks[k].count) queue.push(Cursor{delay[k] + double(p.dts) * unit[k], k});
    }
}

namespace {

uint64_t track_movie_duration(const Track& t, uint32_t movie_timescale) {
    if (!t.edits.empty()) {
        uint64_t total = 0;
        for (const auto& e : t.edits) total += e.segment_duration;
        return total;
    }
    return scale_duration(t.media_duration(), t.timescale, movie_timescale);
}

// A time header rebuilt with `duration`; an empty payload is carried over.
Result<void> write_time_box(ByteWriter& w, const Box& b, TimeBox kind, uint64_t duration,
                            std::optional<uint32_t> track_id = std::nullopt) {
    auto h = MORVEX_TRY(read_time_header(kind, b.payload()));
    if (!h) {
        copy_box(w, b);
        return {};
    }
    Bytes p = rebuild_time_header(*h, b.payload(), duration);
    if (track_id && kind == TimeBox::Tkhd) ByteWriter{p}.patch_u32(p[0] == 1 ? 20 : 12, *track_id);
    size_t m = w.begin_box_type(b.type);
    w.bytes(p);
    w.end_box(m);
    return {};
}

// tref (8.3.3): reference type boxes, each a list of 32-bit track IDs.
Result<void> write_tref(ByteWriter& w, const Box& tref, const Track& t) {
    const size_t at = w.out.size();
    copy_box(w, tref);
    if (!t.tref_renames || t.tref_renames->empty()) return {};
    auto refs = MORVEX_TRY(child_boxes(tref));
    for (const auto& r : refs) {
        const size_t first = at + (r.payload_offset() - tref.offset);
        for (size_t i = 0; i + 4 <= r.payload().size(); i += 4) {
            const uint32_t id = load_be32(r.payload().data() + i);
            if (auto it = t.tref_renames->find(id); it != t.tref_renames->end()) w.patch_u32(first + i, it->second);
        }
    }
    return {};
}

struct TrakContext {
    const Track& track;
    const TrackChunks& chunks;
    uint32_t movie_timescale;
    bool co64;
    size_t offsets_at = 0;  // out: the first chunk offset field
};

Result<void> write_minf(ByteWriter& w, const Box& minf, TrakContext& c) {
    size_t m = w.begin_box_type(box::minf);
    bool stbl_written = false;
    for (const auto& child : MORVEX_TRY(child_boxes(minf))) {
        if (child.type != box::stbl) {
            copy_box(w, child);
            continue;
        }
        if (stbl_written) continue;  // a reader takes the first, as the tracks were read
        stbl_written = true;
        size_t stbl = w.begin_box("stbl");
        const auto& samples = c.track.samples;
        // Samples without their description could not be decoded: the
        // track would come out in name only.
        auto stsd = MORVEX_TRY(find_child(child, box::stsd));
        if (!stsd && !samples.empty()) return invalid(msg::no_sample_description(c.track.track_id));
        if (stsd) copy_box(w, *stsd);
        write_stts(w, samples);
        write_stsc(w, c.chunks.runs);
        write_stsz(w, samples);
        c.offsets_at = write_chunk_offsets(w, size_t(c.chunks.count), c.co64);
        write_ctts_if_needed(w, samples);
        write_stss_if_needed(w, samples);
        if (c.track.protection) write_aux_info(w, c.track);
        w.end_box(stbl);
    }
    w.end_box(m);
    return {};
}

Result<void> write_trak(ByteWriter& w, TrakContext& c) {
    const Track& t = c.track;
    auto trak = MORVEX_TRY(read_box(t.trak, 0, 0, BoxRules{Overrun::Error}));
    if (!trak) return invalid(msg::kInvalidBoxSize);
    auto parts = MORVEX_TRY(child_boxes(*trak));
    size_t m = w.begin_box("trak");
    bool edits_written = false, mdia_written = false;
    auto write_edits = [&] {
        if (!edits_written && !t.edits.empty()) write_edts(w, t.edits);
        edits_written = true;
    };
    for (const auto& part : parts) {
        if (part.type == box::tkhd) {
            MORVEX_CHECK(write_time_box(w, part, TimeBox::Tkhd, track_movie_duration(t, c.movie_timescale), t.track_id));
            write_edits();
        } else if (part.type == box::edts) {
            write_edits();
        } else if (part.type == box::tref) {
            MORVEX_CHECK(write_tref(w, part, t));
        } else if (part.type == box::mdia) {
            // Only the first mdia, and its first minf, describe the track's
            // samples; later ones would hold a second set of tables that
            // readers do not look at, so they are left out.
            if (mdia_written) continue;
            mdia_written = true;
            write_edits();
            size_t mdia = w.begin_box("mdia");
            bool minf_written = false;
            for (const auto& mp : MORVEX_TRY(child_boxes(part))) {
                if (mp.type == box::mdhd) {
                    MORVEX_CHECK(write_time_box(w, mp, TimeBox::Mdhd, t.media_duration()));
                } else if (mp.type == box::minf) {
                    if (minf_written) continue;
                    minf_written = true;
                    MORVEX_CHECK(write_minf(w, mp, c));
                } else {
                    copy_box(w, mp);
                }
            }
            w.end_box(mdia);
        } else {
            copy_box(w, part);
        }
    }
    write_edits();
    w.end_box(m);
    return {};
}

// The head of the file: ftyp, then the movie box. `offsets_at` gets where
// each track's first chunk offset field lies in it.
Result<Bytes> build_head(const Movie& movie, const std::vector<TrackChunks>& chunks, bool co64,
                         std::vector<size_t>& offsets_at) {
    auto moov = MORVEX_TRY(read_box(movie.moov, 0, 0, BoxRules{Overrun::Error}));
    if (!moov) return invalid(msg::kMoovNotFound);
    auto children = MORVEX_TRY(child_boxes(*moov));
    uint64_t longest = 0;
    uint32_t next_track_id = 1;
    for (const auto& t : movie.tracks) {
        longest = std::max(longest, track_movie_duration(t, movie.timescale));
        next_track_id = std::max(next_track_id, t.track_id + 1);
    }
    // At most: stts, ctts 8 bytes a sample, stsz and stss 4, stsc 12 bytes
    // a chunk and co64 8. Reserved, not written, so the growth of the
    // buffer never holds two copies of the tables.
    size_t bound = movie.ftyp.size() + movie.moov.size() + 1024;
    for (size_t k = 0; k < movie.tracks.size(); ++k)
        bound += movie.tracks[k].trak.size() + 256 + 24 * movie.tracks[k].samples.size() + 20 * chunks[k].count;
    Bytes out;
    out.reserve(bound);
    ByteWriter w{out};
    w.bytes(movie.ftyp);
    offsets_at.assign(movie.tracks.size(), 0);
    size_t m = w.begin_box("moov");
    bool placed = false;
    for (const auto& child : children) {
        if (child.type == box::mvex) continue;
        if (child.type == box::mvhd) {
            auto p = MORVEX_TRY(update_mvhd_duration(child.payload(), longest, next_track_id));
            size_t b = w.begin_box("mvhd");
            w.bytes(p);
            w.end_box(b);
            continue;
        }
        if (child.type != box::trak) {
            copy_box(w, child);
            continue;
        }
        if (placed) continue;
        placed = true;
        for (size_t k = 0; k < movie.tracks.size(); ++k) {
            TrakContext c{movie.tracks[k], chunks[k], movie.timescale, co64};
            MORVEX_CHECK(write_trak(w, c));
            // A trak without mdia/minf/stbl has nowhere to hold the chunk
            // offsets of the samples it was given.
            if (c.offsets_at == 0 && chunks[k].count)
                return invalid(msg::no_sample_description(movie.tracks[k].track_id));
            offsets_at[k] = c.offsets_at;
        }
    }
    if (!placed && !movie.tracks.empty()) return invalid(msg::kNoTrakInTemplate);
    w.end_box(m);
    return out;
}

uint64_t chunk_bytes(const Movie& movie, const ChunkAt& c) {
    const Track& t = movie.tracks[c.track];
    uint64_t bytes = 0;
    for (uint32_t i = c.first_sample; i < c.first_sample + c.sample_count; ++i) bytes += t.samples[i].size;
    return bytes;
}

void write_mdat_header(ByteWriter& w, uint64_t payload, bool large) {
    if (large) {
        w.u32(1);
        w.fourcc("mdat");
        w.u64(payload + 16);
    } else {
        w.u32(uint32_t(payload + 8));
        w.fourcc("mdat");
    }
}

}  // namespace

Result<Mp4Layout> lay_out_regular_mp4(const Movie& movie) {
    Mp4Layout layout;
    layout.chunks = plan_chunks(movie);
    const auto& chunks = layout.chunks;
    uint64_t payload = 0, last_chunk = 0;
    for_each_chunk(movie, chunks, [&](const ChunkAt& c) {
        last_chunk = payload;
        payload += chunk_bytes(movie, c);
    });
    const bool large_mdat = payload > kMax32 - 8;
    const uint64_t mdat_header = large_mdat ? 16 : 8;

    std::vector<size_t> offsets_at;
    layout.head = MORVEX_TRY(build_head(movie, chunks, false, offsets_at));
    const bool co64 = layout.head.size() + mdat_header + last_chunk > kMax32;
    if (co64) layout.head = MORVEX_TRY(build_head(movie, chunks, true, offsets_at));
    const uint64_t media_start = layout.head.size() + mdat_header;
    ByteWriter w{layout.head};
    uint64_t offset = media_start;
    for_each_chunk(movie, chunks, [&](const ChunkAt& c) {
        const size_t at = offsets_at[c.track] + size_t(c.index) * (co64 ? 8 : 4);
        if (co64) {
            w.patch_u32(at, uint32_t(offset >> 32));
            w.patch_u32(at + 4, uint32_t(offset));
        } else {
            w.patch_u32(at, uint32_t(offset));
        }
        offset += chunk_bytes(movie, c);
    });
    write_mdat_header(w, payload, large_mdat);
    layout.size = media_start + payload;
    return layout;
}

void write_regular_mp4(const Movie& movie, const Mp4Layout& layout, OutputBuffer& out) {
    copy_to(out, 0, layout.head.data(), layout.head.size());
    size_t at = layout.head.size();
    for_each_chunk(movie, layout.chunks, [&](const ChunkAt& c) {
        const Track& t = movie.tracks[c.track];
        const Track& bytes = bytes_of(t, c.first_sample);
        for (uint32_t i = c.first_sample; i < c.first_sample + c.sample_count; ++i) {
            const Sample& s = t.samples[i];
            check_end(out, at, s.size, write_sample(bytes, s, take(out, at, s.size)));
            at += s.size;
        }
    });
    if (at != out.size()) throw OutputOverrun();
}

Result<PlannedOutput> plan_regular_mp4(std::shared_ptr<const Movie> movie, std::shared_ptr<const void> keep) {
    auto layout = std::make_shared<Mp4Layout>(MORVEX_TRY(lay_out_regular_mp4(*movie)));
    PlannedOutput p;
    p.size = size_t(layout->size);
    p.write = [movie, layout, keep](OutputBuffer& out) { write_regular_mp4(*movie, *layout, out); };
    return p;
}


}  // namespace morvex
