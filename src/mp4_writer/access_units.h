// Cutting an H.264 Annex B stream into access units and MP4 samples.
#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.h"

namespace morvex {

struct NalRange {
    size_t offset;  // the NAL header byte in the stream
    size_t size;    // header byte included, start code excluded
};

// Samples in length-prefixed form (4-byte lengths), described by the NAL
// units they hold; the bytes stay in the stream until the file is written.
struct VideoSamples {
    std::vector<NalRange> nals;        // the NAL units kept, in order
    std::vector<size_t> nal_end;       // per sample: one past its last index in `nals`
    std::vector<uint32_t> sizes;       // per sample: bytes in the file
    std::vector<uint8_t> sync;         // per sample: 1 when it holds an IDR slice
    std::vector<size_t> unit_start;    // per sample: the first NAL header of its access unit
    uint64_t payload_size = 0;         // sum of `sizes`

    size_t count() const { return sizes.size(); }
};

// An access unit (H.264 7.4.1.2.3) begins at an access unit delimiter, and
// at an SEI, SPS or PPS NAL unit or a slice with first_mb_in_slice 0 that
// follows a slice of the current one. SPS, PPS and delimiters are left out
// of the samples (the parameter sets go into avcC); an access unit left
// with no NAL unit gives no sample.
VideoSamples cut_video_samples(ByteSpan annex_b);

}  // namespace morvex
