// The files of a CMAF track (ISO/IEC 23000-19 7.3): its header, an ftyp
// with the CMAF brands and a moov whose one track has empty sample tables
// and an mvex, and its segments, each an styp and one fragment (moof and
// mdat) of the samples a segment of mp4/cmaf_segmenter.h holds.
#pragma once

#include <cstdint>
#include <span>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4/cmaf_segmenter.h"
#include "mp4/fragmented_writer.h"

namespace morvex {

// ftyp: major brand cmfc, compatible cmfc, iso6 and isom; then the moov.
Result<Bytes> build_cmaf_header(const Track& track, uint32_t movie_timescale);

// Segment `index` of the track as a fragment numbered index + 1 (mfhd),
// its samples' composition offsets those of the shared timeline.
MovieFragment cmaf_fragment(const CmafTrack& track, size_t index);

// The segment index of a track's segments written one after the other
// right behind it (sidx version 1, ISO/IEC 14496-12 8.16.3), as DASH's
// SegmentBase addresses them: a reference per segment with its size and
// duration, and whether it starts with a sync sample (SAP type 1 when that
// sample is also shown first, 2 otherwise). Fails for more segments than
// one sidx references (65535), or for a segment it cannot describe (2 GiB
// or more, or 2^32 ticks or more).
Result<Bytes> build_cmaf_index(const CmafTrack& track, std::span<const uint64_t> segment_sizes);

// The exact size of the segment: styp, moof, mdat.
uint64_t cmaf_segment_size(const MovieFragment& f);
// Writes the segment at `out` (cmaf_segment_size bytes); returns the end.
uint8_t* write_cmaf_segment(const MovieFragment& f, uint8_t* out);

}  // namespace morvex
