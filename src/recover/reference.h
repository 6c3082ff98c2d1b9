// A reference file for recovery: a healthy MP4 from the same recorder,
// with the same codecs and settings. Its movie box is the template of the
// recovered file, and its first H.264 or HEVC video track and first AAC
// audio track give the sample descriptions, the NAL unit length size and
// parameter sets that the samples are read by, the AAC layout, and the
// samples' durations. Only the movie box is read: the reference's own
// samples need not be there.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/aac_raw_block.h"
#include "common/bytes.h"
#include "common/error.h"
#include "recover/video_samples.h"

namespace morvex {

struct ReferenceTrack {
    ByteSpan trak;  // header included
    uint32_t track_id = 0;
    uint32_t timescale = 1000;
    // The duration its samples most often have (stts), or the trex default
    // of a fragmented reference; 0 when it says none.
    uint32_t sample_duration = 0;
    // media_time of its edit list's first edit with media (AAC's priming);
    // 0 without one.
    int64_t media_time = 0;
};

struct ReferenceVideo {
    ReferenceTrack track;
    VideoFormat format;
    ParameterSetTable sets;  // of its avcC or hvcC
};

struct ReferenceAudio {
    ReferenceTrack track;
    aac::RawBlockLayout layout;
    uint32_t sample_rate = 0;  // of the AudioSpecificConfig
};

struct Reference {
    ByteSpan ftyp;  // empty without one
    ByteSpan moov;
    uint32_t movie_timescale = 1000;
    std::optional<ReferenceVideo> video;
    std::optional<ReferenceAudio> audio;
};

// The movie box of `file` (its last whole one) read as a reference.
// Fails without one, or when it has neither an H.264 or HEVC video track
// nor an AAC track.
Result<Reference> read_reference(ByteSpan file);

}  // namespace morvex
