#include "roads/package.h"

#include <cmath>
#include <map>
#include <memory>

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "manifests/dash_manifest.h"
#include "manifests/hls_playlists.h"
#include "mp4/cmaf_writer.h"
#include "roads/movie_input.h"

namespace morvex {
namespace {

// What the planned files hold on to until they are written: the input's
// movie and the fragments of every segment.
struct Package {
    std::shared_ptr<MovieInput> input;
    std::vector<CmafTrack> tracks;
    std::vector<std::vector<MovieFragment>> fragments;  // per track, per segment
};

// The most common duration of a track's samples: its frame duration.
uint32_t common_duration(const Track& t) {
    std::map<uint32_t, size_t> counts;
    for (const auto& s : t.samples)
        if (s.duration) ++counts[s.duration];
    uint32_t best = 0;
    size_t most = 0;
    for (const auto& [duration, count] : counts)
        if (count > most) best = duration, most = count;
    return best;
}

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Writes segments [first, first + count) of a track one after the other
// from `at` in `out`.
void write_segments(const std::vector<MovieFragment>& fragments, size_t first, size_t count, OutputBuffer& out,
                    size_t at) {
    for (size_t k = first; k < first + count; ++k) {
        const size_t n = size_t(cmaf_segment_size(fragments[k]));
        check_end(out, at, n, write_cmaf_segment(fragments[k], take(out, at, n)));
        at += n;
    }
}

}  // namespace

Result<std::vector<NamedOutput>> plan_package_cmaf(ByteSpan data, const PackageOptions& options, std::string& report) {
    if (!(options.segment_duration > 0) || !std::isfinite(options.segment_duration))
        return invalid(msg::kSegmentDuration);
    auto package = std::make_shared<Package>();
    package->input = MORVEX_TRY(read_movie(data, report));
    const Movie& movie = package->input->movie;
    package->tracks = cut_cmaf_tracks(movie, options.segment_duration);
    if (package->tracks.empty()) return invalid(msg::kNoMediaToPackage);

    const PackageLayout layout{options.byte_range};
    std::vector<PackagedTrack> described;
    std::vector<Bytes> headers;
    size_t videos = 0, audios = 0;
    for (const CmafTrack& c : package->tracks) {
        const Track& t = *c.track;
        if (t.protection) return invalid(msg::encryption_not_carried(t.track_id, quoted_fourcc(t.protection->scheme)));
        PackagedTrack p;
        p.video = t.handler == box::vide;
        const size_t n = ++(p.video ? videos : audios);
        p.folder = p.video ? "video" : "audio";
        if (n > 1) p.folder += "_" + std::to_string(n);
        p.stream = MORVEX_TRY(describe_track(t.trak));
        p.timescale = t.timescale ? t.timescale : 1;
        if (p.video) p.frame_duration = common_duration(t);
        headers.push_back(MORVEX_TRY(build_cmaf_header(t, movie.timescale)));
        p.header_size = headers.back().size();
        auto& fragments = package->fragments.emplace_back();
        std::vector<uint64_t> sizes;
        for (size_t k = 0; k < c.segments.size(); ++k) {
            fragments.push_back(cmaf_fragment(c, k));
            sizes.push_back(cmaf_segment_size(fragments.back()));
        }
        // The byte-range layout: the header, the sidx, the segments.
        if (layout.byte_range) {
            Bytes index = MORVEX_TRY(build_cmaf_index(c, sizes));
            p.index_size = index.size();
            headers.back().insert(headers.back().end(), index.begin(), index.end());
        }
        uint64_t offset = p.header_size + p.index_size;
        for (size_t k = 0; k < c.segments.size(); ++k) {
            p.segments.push_back(PackagedSegment{c.segments[k].decode_time, c.segments[k].duration, sizes[k], offset});
            offset += sizes[k];
        }
        described.push_back(std::move(p));
    }

    std::vector<NamedOutput> files;
    files.push_back({kMasterPlaylist, PlannedOutput::of(text_bytes(hls_master_playlist(described)))});
    files.push_back({kManifest, PlannedOutput::of(text_bytes(dash_manifest(described, layout)))});
    for (size_t k = 0; k < described.size(); ++k) {
        const PackagedTrack& p = described[k];
        const std::string folder = p.folder + "/";
        files.push_back({folder + kMediaPlaylist, PlannedOutput::of(text_bytes(hls_media_playlist(p, layout)))});
        const std::vector<MovieFragment>& fragments = package->fragments[k];
        if (layout.byte_range) {
            auto header = std::make_shared<Bytes>(std::move(headers[k]));  // and the sidx
            PlannedOutput media;
            media.size = size_t(p.segments.empty() ? header->size() : p.segments.back().offset + p.segments.back().size);
            media.write = [package, header, k](OutputBuffer& out) {
                copy_to(out, 0, header->data(), header->size());
                write_segments(package->fragments[k], 0, package->fragments[k].size(), out, header->size());
            };
            files.push_back({folder + kMediaFile, std::move(media)});
            continue;
        }
        files.push_back({folder + kHeaderFile, PlannedOutput::of(std::move(headers[k]))});
        for (size_t j = 0; j < fragments.size(); ++j) {
            PlannedOutput segment;
            segment.size = size_t(p.segments[j].size);
            segment.write = [package, k, j](OutputBuffer& out) { write_segments(package->fragments[k], j, 1, out, 0); };
            files.push_back({folder + segment_file(j), std::move(segment)});
        }
    }
    return files;
}

}  // namespace morvex
