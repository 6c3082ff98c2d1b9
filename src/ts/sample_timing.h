// Timing of the samples of a transport stream, attached to each access unit
// and audio frame by byte position.
//
// Video: an access unit takes the PTS/DTS of the PES in which its first byte
// lies, when it is the first unit to begin in that PES; a PES that begins
// inside a unit already open gives its timestamps to the next unit that
// begins in it. A unit without timestamps lasts the stream's frame duration
// after the one before. A sample lasts until the next one's DTS.
//
// Audio: each ADTS frame of a PES takes the PES's PTS plus its index there
// times the frame duration. The timeline counts frame by frame and follows
// the PES timestamps where they part from it by more than half a
// millisecond, so a gap (a lost PES) stays a gap.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "media/track.h"
#include "ts/access_units.h"
#include "ts/program.h"

namespace morvex {

struct TimedSamples {
    std::vector<Sample> samples;
    std::optional<int64_t> first_time;  // presentation time of sample 0, unwrapped, 90 kHz
    // How far each new piece of timeline was moved (90 kHz), in order.
    std::vector<int64_t> jumps;
};

// `frame_duration` is the SPS's (VUI timing), when it gives one; otherwise
// the most common step between DTS values is used. `reference` is the
// instant near which the stream's first timestamp is unwrapped.
// Samples are made from `first_unit` on.
//
// Within a stream, a timestamp that jumps backwards, or forwards by more
// than five seconds, or that follows a discontinuity_indicator, starts a
// new piece of timeline, which continues where the last one ended (plus
// one frame): joined recordings and HLS discontinuities play through.
// A piece is moved by at least `least_jumps[k]` (90 kHz) at its k-th jump:
// far enough for the audio to continue after its own last piece too.
TimedSamples video_sample_timing(const ElementaryStream& es, const AccessUnits& units,
                                 std::optional<uint32_t> frame_duration, int64_t reference, size_t first_unit = 0,
                                 const std::vector<int64_t>& least_jumps = {});

// Audio samples in `timescale` units, `frame_ticks` per frame; frames
// presented before `start` (90 kHz, on the same timeline) are left out. The
// audio's pieces of timeline move by the video's `jumps`, one for one, so
// audio and video keep their offset in each piece; a jump of the audio's
// own beyond those continues where its last piece ended.
TimedSamples audio_sample_timing(const TsProgram& program, uint32_t timescale, uint32_t frame_ticks,
                                 int64_t reference, std::optional<int64_t> start = std::nullopt,
                                 const std::vector<int64_t>& video_jumps = {});

// The first PTS of the programme's video, else of its audio: the instant
// near which all timestamps are unwrapped.
std::optional<int64_t> programme_reference(const TsProgram& program);

}  // namespace morvex
