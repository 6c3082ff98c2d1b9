// The one sample model of every road: a track is a list of samples whose
// bytes stay where they are (in the input, or in the elementary stream a
// demultiplexer gathered), with their timing, and the template trak box that
// describes the track.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "isobmff/track_boxes.h"
#include "media/source_pieces.h"

namespace morvex {

// A NAL unit of an Annex B stream, written into the file behind a 4-byte
// length (ISO/IEC 14496-15 5.3.2).
struct NalRange {
    uint64_t offset = 0;  // the NAL header byte in the track's source
    uint32_t size = 0;    // header byte included, start code excluded
    bool parameter_set = false;  // an SPS, PPS or VPS (which a track may leave to its sample entry)
};

// One sample: 24 bytes, the largest part of what a road holds per sample.
struct Sample {
    union {
        uint64_t offset = 0;  // first byte in the track's source (samples copied as they are)
        uint64_t first_nal;   // Annex B samples: the first of their NAL units in Track::nals
    };
    uint32_t size = 0;  // bytes the sample takes in the written file
    uint32_t duration = 0;
    int32_t composition_offset = 0;  // presentation minus decode time
    bool sync : 1 = false;
    // Annex B samples: `nal_count` NAL units from Track::nals[first_nal],
    // each written behind its length; 0 for samples copied as they are.
    uint32_t nal_count : 31 = 0;
};
static_assert(sizeof(Sample) == 24);

// Where the auxiliary information of one sample lies in its track's source
// (ISO/IEC 14496-12 8.7.8, 8.7.9): for a protected track, its IV and
// subsample layout (ISO/IEC 23001-7 7.2).
struct AuxInfo {
    uint64_t offset = 0;
    uint32_t size = 0;
};

struct Track {
    uint32_t track_id = 0;
    uint32_t handler = 0;       // hdlr handler_type: 'vide', 'soun', ...
    uint32_t timescale = 1000;  // media timescale (mdhd)
    ByteSpan source;            // where the samples' bytes are
    // ... or, when set, the pieces of the input they lie in (positions are
    // then logical positions of the pieces).
    const SourcePieces* pieces = nullptr;
    ByteSpan trak;              // the template trak box, header included
    std::vector<Sample> samples;
    std::span<const NalRange> nals;  // where Annex B samples' NAL units are listed
    // The number of nals[0], and the position of source[0]: a live reader
    // keeps only the tail of a stream, and samples count from its start.
    uint64_t nal_base = 0;
    uint64_t source_base = 0;
    // Parameter sets are left out of the samples' bytes: the sample entry
    // holds them (avc1, hvc1), and the sizes count without them.
    bool omit_parameter_sets = false;
    std::vector<Edit> edits;  // written as they are; none: no edit list
    // Decode time of sample 0 on the source's own timeline, in the media
    // timescale, where the source says (a fragment's tfdt).
    std::optional<uint64_t> start_time;
    // A protected track (its sample entry is encv, enca, ...): the scheme,
    // and each sample's auxiliary information, which a written file carries.
    std::optional<Protection> protection;
    std::vector<AuxInfo> aux_info;  // one per sample, when every one was found
    // A track joined from several inputs: from sample `first` on, the
    // samples' bytes are those of `bytes` (its source, pieces and NAL
    // units; the samples' offsets and NAL numbers are its own), and their
    // sample entry is number `description` of the stsd. Empty: the track's
    // own bytes, and its first entry, for every sample.
    struct Part {
        uint32_t first = 0;
        const Track* bytes = nullptr;
        uint32_t description = 1;
    };
    std::vector<Part> parts;
    // Track IDs to replace in the tref box (muxing renumbers tracks).
    // (shared by the tracks of one file: old ID -> new ID).
    std::shared_ptr<const std::unordered_map<uint32_t, uint32_t>> tref_renames;

    // Where the presentation of the last sample to be shown ends, in media
    // time: past the sum of the durations when the samples at the end are
    // shown later after their decoding than the first one is.
    uint64_t presentation_end() const {
        int64_t dts = 0, end = 0;
        for (const auto& s : samples) {
            end = std::max(end, dts + s.composition_offset + int64_t(s.duration));
            dts += s.duration;
        }
        return uint64_t(std::max(end, dts));
    }

    uint64_t media_duration() const {
        uint64_t total = 0;
        for (const auto& s : samples) total += s.duration;
        return total;
    }
};

// Writes the bytes of sample `s` of `t` at `out` (s.size bytes): copied as
// they are, or NAL unit by NAL unit behind 4-byte lengths. Every writer of
// samples goes through here.
uint8_t* write_sample(const Track& t, const Sample& s, uint8_t* out);

// The part of a joined track that sample `index` belongs to (nullptr for a
// track of one part).
const Track::Part* part_of(const Track& t, uint32_t index);
// The track whose bytes sample `index` of `t` is written from.
inline const Track& bytes_of(const Track& t, uint32_t index) {
    const Track::Part* p = part_of(t, index);
    return p && p->bytes ? *p->bytes : t;
}

}  // namespace morvex
