// Cutting an Annex B video stream into access units. H.264 (7.4.1.2.3): a
// new one begins at an access unit delimiter, and at an SEI, SPS or PPS NAL
// unit or a slice with first_mb_in_slice 0 that follows a slice of the
// current one. HEVC (H.265 7.4.2.4.4): at a delimiter, and at a VPS, SPS,
// PPS, prefix SEI or NAL unit of types 41-44 and 48-55, or a slice segment
// with first_slice_segment_in_pic_flag set, that follows a slice segment of
// the current one.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "media/source_pieces.h"
#include "media/track.h"

namespace morvex {

struct AccessUnit {
    size_t start = 0;  // where the unit's first start code begins in the stream
    uint32_t first_nal = 0;  // its NAL units kept for the sample, in AccessUnits::nals
    uint32_t nal_count = 0;
    uint32_t bytes = 0;  // in length-prefixed form (4-byte lengths)
    bool idr = false;    // a random access point: an IDR picture (HEVC: an IRAP picture)
};

struct AccessUnits {
    std::vector<AccessUnit> units;
    std::vector<NalRange> nals;  // kept NAL units; delimiters are left out
    std::optional<ByteSpan> sps;  // the first SPS and PPS of the stream
    std::optional<ByteSpan> pps;
    std::optional<ByteSpan> vps;  // HEVC
    // Every distinct VPS, SPS and PPS, in the order they first appear.
    std::vector<ByteSpan> vps_sets;
    std::vector<ByteSpan> sps_sets;
    std::vector<ByteSpan> pps_sets;
    std::vector<Bytes> parameter_set_bytes;  // what the spans above point into
    // Some parameter set id is given other contents later in the stream (a
    // resolution change, an encoder restart): the samples must then carry
    // their parameter sets in-band.
    bool parameter_sets_change = false;
};

// Access units left with no NAL unit give no sample. SPS and PPS stay in
// the samples when `keep_parameter_sets`; otherwise they are left out
// (they go into the decoder configuration).
enum class VideoCodec { H264, Hevc };

AccessUnits cut_access_units(const SourcePieces& annex_b, bool keep_parameter_sets = false,
                             VideoCodec codec = VideoCodec::H264);
AccessUnits cut_access_units(ByteSpan annex_b, bool keep_parameter_sets = false,
                             VideoCodec codec = VideoCodec::H264);

}  // namespace morvex
