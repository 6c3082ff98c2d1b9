// Cutting a movie into CMAF tracks (ISO/IEC 23000-19 7.3): each video and
// audio track on its own, its samples in segments that players fetch one
// by one (HLS, DASH).
//
// The lead track (the first video track, else the first audio track) is
// cut at key frames: a new segment begins at the first sync sample shown at
// or after each multiple of the segment duration. Every other track is cut
// where the lead's segments begin, at the sample (audio: any frame; video:
// a sync sample) shown nearest to that instant, so that the tracks'
// segments end together; a segment that would hold no sample is left out.
//
// All tracks share one timeline: each sample is shown where the source's
// edit list shows it, the first sample shown of any track at 0. A track's
// decode times start where its first sample is shown (0 when that lies
// before 0: audio priming, pictures an edit hides), and composition offsets
// carry the rest, negative ones included (trun version 1), so that the
// offset between audio and video of the source survives without an edit
// list.
#pragma once

#include <cstdint>
#include <vector>

#include "common/error.h"
#include "media/movie.h"
#include "media/track.h"

namespace morvex {

struct CmafSegment {
    uint32_t first = 0;  // index of its first sample in the track
    uint32_t count = 0;
    uint64_t decode_time = 0;  // tfdt of its fragment, in the media timescale
    uint64_t duration = 0;     // its samples' durations together
};

struct CmafTrack {
    const Track* track = nullptr;
    // The decode time of sample 0, and what each sample's composition offset
    // becomes: composition_offset + composition_shift (held within 32 bits).
    uint64_t decode_start = 0;
    int64_t composition_shift = 0;
    std::vector<CmafSegment> segments;

    int32_t composition_offset(const Sample& s) const;
};

// The video and audio tracks of `movie` that hold samples, in its order,
// each cut into segments of about `segment_duration` seconds (> 0).
std::vector<CmafTrack> cut_cmaf_tracks(const Movie& movie, double segment_duration);

}  // namespace morvex
