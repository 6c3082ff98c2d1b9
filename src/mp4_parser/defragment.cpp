// Defragmentation: a fragmented MP4 (initialisation moov, then moof/mdat
// pairs) becomes ftyp, a moov with complete sample tables, and one mdat.
#include "mp4_parser/defragment.h"

#include "mp4_parser/layout.h"
#include "mp4_parser/movie_header.h"
#include "mp4_parser/mp4_rewrite.h"
#include "mp4_parser/regular_track.h"

namespace morvex {
namespace {

constexpr uint32_t kMoof = fourcc_value("moof"), kMvhd = fourcc_value("mvhd"), kTrak = fourcc_value("trak"), kMvex = fourcc_value("mvex");

}  // namespace

uint32_t moov_timescale(const std::vector<Mp4Box>& moov_children) {
    const Mp4Box* mvhd = first_child(moov_children, kMvhd);
    return mvhd ? movie_timescale_of(mvhd->data) : 1000;
}

uint64_t movie_duration(const std::vector<const TrackFragments*>& tracks, uint32_t movie_timescale) {
    uint64_t longest = 0;
    for (const TrackFragments* t : tracks) {
        uint64_t total = 0;
        for (const auto& s : t->samples) total += s.duration;
        longest = std::max(longest, scale_duration(total, t->timescale, movie_timescale));
    }
    return longest;
}

Result<Bytes> build_regular_moov(ByteSpan moov_payload, const std::vector<TrackFragments>& tracks,
                                 std::span<const uint64_t> chunk_offsets, bool co64) {
    auto children = parse_container_box(moov_payload);
    if (!children) return std::unexpected(children.error());
    const TrakLayout layout{moov_timescale(*children), co64};
    std::vector<const TrackFragments*> all;
    for (const auto& t : tracks) all.push_back(&t);

    Bytes out;
    for (const auto& child : *children) {
        if (child.box_type == kMvhd) {
            auto p = update_mvhd_duration(child.data, movie_duration(all, layout.movie_timescale));
            if (!p) return std::unexpected(p.error());
            write_box(out, kMvhd, *p);
            continue;
        }
        // A regular file carries no movie extends box: players that see one
        // look for fragments.
        if (child.box_type == kMvex) continue;
        if (child.box_type != kTrak) {
            write_box(out, child.box_type, child.data);
            continue;
        }
        auto parts = parse_container_box(child.data);
        if (!parts) return std::unexpected(parts.error());
        const uint32_t id = tkhd_track_id(*parts);
        size_t k = 0;
        while (k < tracks.size() && tracks[k].track_id != id) ++k;
        if (k == tracks.size()) {
            write_box(out, kTrak, child.data);
            continue;
        }
        const uint64_t offset = k < chunk_offsets.size() ? chunk_offsets[k] : 0;
        auto trak = build_regular_trak(child.data, tracks[k], offset, layout);
        if (!trak) return std::unexpected(trak.error());
        write_box(out, kTrak, *trak);
    }
    return out;
}

Result<Bytes> defragment_mp4(ByteSpan data) {
    auto file = parse_mp4(data);
    if (!file) return std::unexpected(file.error());
    bool fragmented = false;
    for (const auto& info : file->box_infos)
        if (const auto* b = std::get_if<Mp4Box>(&info); b && b->box_type == kMoof) fragmented = true;
    if (!fragmented) return fail(ErrorKind::InvalidData, "Not a fragmented MP4");
    if (!file->moov) return fail(ErrorKind::InvalidData, "moov box not found");

    auto tracks = extract_track_info_from_moov(file->moov->data);
    if (!tracks) return std::unexpected(tracks.error());
    if (auto ok = collect_fragment_data(data, file->box_infos, *tracks); !ok) return std::unexpected(ok.error());

    std::vector<ByteSpan> blocks;
    for (const auto& t : *tracks) blocks.push_back(t.mdat_data);
    const ByteSpan moov = file->moov->data;
    return assemble_regular_mp4(
        [&](std::span<const uint64_t> offsets, bool co64) { return build_regular_moov(moov, *tracks, offsets, co64); },
        blocks);
}

}  // namespace morvex
