// Two-track muxing: the tracks of two fragmented MP4 files delivered
// separately (typically one video, one audio) in one regular MP4, whose movie
// box is the first file's with the tracks of both.
#include <string>
#include <unordered_set>
#include <utility>

#include "common/byte_writer.h"
#include "mp4_parser/defragment.h"
#include "mp4_parser/layout.h"
#include "mp4_parser/movie_header.h"
#include "mp4_parser/mp4_rewrite.h"
#include "mp4_parser/regular_track.h"

namespace morvex {
namespace {

constexpr uint32_t kMvhd = fourcc_value("mvhd"), kTrak = fourcc_value("trak"), kTkhd = fourcc_value("tkhd"),
                   kMvex = fourcc_value("mvex");

struct TrackPair {
    Bytes trak_payload;
    TrackFragments track;
};

struct CollectedTracks {
    Bytes moov_payload;
    std::vector<TrackPair> tracks;
};

// track_ID of a trak whose first tkhd holds the field; nullopt otherwise.
std::optional<uint32_t> matching_id(const std::vector<Mp4Box>& trak_children) {
    const Mp4Box* tkhd = first_child(trak_children, kTkhd);
    if (!tkhd || tkhd->data.empty()) return std::nullopt;
    const bool wide = tkhd->data[0] == 1;
    if (tkhd->data.size() < (wide ? 24u : 16u)) return std::nullopt;
    return load_be32(tkhd->data.data() + (wide ? 20 : 12));
}

Result<CollectedTracks> collect_tracks(ByteSpan data) {
    auto file = parse_mp4(data);
    if (!file) return std::unexpected(file.error());
    if (!file->moov) return fail(ErrorKind::InvalidData, "moov box not found");
    auto tracks = extract_track_info_from_moov(file->moov->data);
    if (!tracks) return std::unexpected(tracks.error());
    if (auto ok = collect_fragment_data(data, file->box_infos, *tracks); !ok) return std::unexpected(ok.error());
    auto children = parse_container_box(file->moov->data);
    if (!children) return std::unexpected(children.error());

    CollectedTracks out{std::move(file->moov->data), {}};
    for (auto& t : *tracks) {
        const Bytes* trak = nullptr;
        for (const auto& c : *children) {
            if (c.box_type != kTrak) continue;
            auto parts = parse_container_box(c.data);
            if (!parts) return std::unexpected(parts.error());
            if (matching_id(*parts) == t.track_id) {
                trak = &c.data;
                break;
            }
        }
        if (!trak) return fail(ErrorKind::InvalidData, "track_id " + std::to_string(t.track_id) + " 에 해당하는 trak 없음");
        out.tracks.push_back(TrackPair{*trak, std::move(t)});
    }
    return out;
}

Result<Bytes> build_muxed_moov(ByteSpan template_moov, const std::vector<TrackPair>& tracks,
                               std::span<const uint64_t> chunk_offsets, bool co64) {
    auto children = parse_container_box(template_moov);
    if (!children) return std::unexpected(children.error());
    const TrakLayout layout{moov_timescale(*children), co64};
    std::vector<const TrackFragments*> all;
    uint32_t next_track_id = 1;
    for (const auto& p : tracks) {
        all.push_back(&p.track);
        next_track_id = std::max(next_track_id, p.track.track_id + 1);
    }

    Bytes out;
    bool placed = false;
    for (const auto& child : *children) {
        if (child.box_type == kMvex) continue;  // a regular file has no movie extends box
        if (child.box_type == kMvhd) {
            auto p = update_mvhd_duration(child.data, movie_duration(all, layout.movie_timescale), next_track_id);
            if (!p) return std::unexpected(p.error());
            write_box(out, kMvhd, *p);
            continue;
        }
        if (child.box_type != kTrak) {
            write_box(out, child.box_type, child.data);
            continue;
        }
        // Every track of both inputs takes the place of the template's first
        // trak; the template's own traks come back only through them.
        if (placed) continue;
        placed = true;
        for (size_t j = 0; j < tracks.size(); ++j) {
            const uint64_t offset = j < chunk_offsets.size() ? chunk_offsets[j] : 0;
            auto trak = build_regular_trak(tracks[j].trak_payload, tracks[j].track, offset, layout);
            if (!trak) return std::unexpected(trak.error());
            write_box(out, kTrak, *trak);
        }
    }
    if (!placed) return fail(ErrorKind::InvalidData, "템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음");
    return out;
}

// The trak payload with the track_ID of its first tkhd replaced.
Result<Bytes> renumbered(const Bytes& trak_payload, uint32_t track_id) {
    auto parts = parse_container_box(trak_payload);
    if (!parts) return std::unexpected(parts.error());
    Bytes out = trak_payload;
    for (const auto& c : *parts) {
        if (c.box_type != kTkhd) continue;
        const size_t field = !c.data.empty() && c.data[0] == 1 ? 20 : 12;
        if (c.data.size() >= field + 4) ByteWriter{out}.patch_u32(size_t(c.offset) + c.header_size + field, track_id);
        break;
    }
    return out;
}

// Separately packaged files usually number their only track 1. The second
// file's tracks whose IDs the first file already uses get the next free IDs.
Result<void> renumber_second(const std::vector<TrackPair>& first, std::vector<TrackPair>& second) {
    std::unordered_set<uint32_t> taken;
    uint32_t next = 1;
    for (const auto& p : first) {
        taken.insert(p.track.track_id);
        next = std::max(next, p.track.track_id + 1);
    }
    for (const auto& p : second) next = std::max(next, p.track.track_id + 1);
    std::unordered_set<uint32_t> own;
    for (auto& p : second) {
        const uint32_t id = p.track.track_id;
        // A repeat inside the second file stays a repeat and is reported.
        if (!taken.count(id) || own.count(id)) {
            own.insert(id);
            continue;
        }
        own.insert(id);
        if (next == 0) return fail(ErrorKind::InvalidData, "track_id " + std::to_string(id) + " 가 중복됨");
        auto trak = renumbered(p.trak_payload, next);
        if (!trak) return std::unexpected(trak.error());
        p.trak_payload = std::move(*trak);
        p.track.track_id = next++;
    }
    return {};
}

}  // namespace

Result<Bytes> mux_fmp4_tracks(ByteSpan video, ByteSpan audio) {
    auto first = collect_tracks(video);
    if (!first) return std::unexpected(first.error());
    auto second = collect_tracks(audio);
    if (!second) return std::unexpected(second.error());
    if (auto ok = renumber_second(first->tracks, second->tracks); !ok) return std::unexpected(ok.error());
    std::vector<TrackPair> tracks = std::move(first->tracks);
    for (auto& p : second->tracks) tracks.push_back(std::move(p));
    if (tracks.empty()) return fail(ErrorKind::InvalidData, "합칠 트랙이 없음");
    std::unordered_set<uint32_t> seen;
    for (const auto& p : tracks)
        if (!seen.insert(p.track.track_id).second)
            return fail(ErrorKind::InvalidData, "track_id " + std::to_string(p.track.track_id) + " 가 중복됨");

    std::vector<ByteSpan> blocks;
    for (const auto& p : tracks) blocks.push_back(p.track.mdat_data);
    const ByteSpan moov = first->moov_payload;
    return assemble_regular_mp4(
        [&](std::span<const uint64_t> offsets, bool co64) { return build_muxed_moov(moov, tracks, offsets, co64); },
        blocks);
}

}  // namespace morvex
