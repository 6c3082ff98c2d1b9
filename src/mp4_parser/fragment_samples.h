// Samples of a fragmented MP4 (ISO/IEC 14496-12 8.8): the track fragment
// header `tfhd`, the track run `trun` and the track extends defaults `trex`,
// gathered per track from every moof/mdat pair.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4_parser/box.h"

namespace morvex {

struct FragmentSampleInfo {
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;               // sample flags word of 8.8.3.1
    uint32_t composition_offset = 0;  // as stored; signed in a version-1 trun
};

struct SampleDefaults {
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
};

struct TrackFragments {
    uint32_t track_id = 0;
    uint32_t timescale = 1000;
    std::vector<FragmentSampleInfo> samples;
    Bytes mdat_data;  // exactly the bytes of `samples`, in order
    Bytes stsd_payload;
    SampleDefaults trex;  // defaults of the track's trex in mvex
};

// The fields of a tfhd; an absent optional falls back to trex.
struct TfhdFields {
    uint32_t track_id = 0;
    uint32_t tf_flags = 0;
    std::optional<uint64_t> base_data_offset;
    std::optional<uint32_t> duration, size, flags;
};

// A trun with its fixed fields read; `records` holds the per-sample records.
struct TrunFields {
    uint32_t tr_flags = 0;
    uint32_t sample_count = 0;
    std::optional<int32_t> data_offset;
    std::optional<uint32_t> first_sample_flags;
    ByteSpan records;
    size_t stride = 0;  // bytes per sample record

    // Samples whose records are present (all of them when there are no records).
    uint64_t present() const { return stride ? std::min<uint64_t>(sample_count, records.size() / stride) : sample_count; }
    FragmentSampleInfo sample(size_t i, const SampleDefaults& d) const;
};

// track_ID of the first tkhd of at least 12 bytes among a trak's children; 0 without one.
uint32_t tkhd_track_id(const std::vector<Mp4Box>& trak_children);
// The merged tfhd of a traf (every tfhd of at least 8 bytes, in order).
TfhdFields read_traf_header(const std::vector<Mp4Box>& traf_children);
std::optional<TrunFields> read_trun(ByteSpan payload);
SampleDefaults merge_defaults(const TfhdFields& tfhd, const SampleDefaults& trex);
// trex defaults of one track among the children of moov; zeros without one.
SampleDefaults trex_defaults(const std::vector<Mp4Box>& moov_children, uint32_t track_id);

Result<std::vector<TrackFragments>> extract_track_info_from_moov(ByteSpan moov_payload);
Result<void> collect_fragment_data(ByteSpan data, const std::vector<BoxInfo>& box_infos,
                                   std::vector<TrackFragments>& tracks);

}  // namespace morvex
