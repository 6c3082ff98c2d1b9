// Timing of the converted tracks on the programme's 90 kHz timeline.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mp4_writer/access_units.h"
#include "ts_parser/media_data.h"

namespace morvex {

constexpr uint32_t kTsClock = 90000;  // the PES clock, also the movie timescale

// A 33-bit PES timestamp placed on a continuous timeline: the value among
// v + k * 2^33 nearest to `near`, so a stream that crosses the wrap keeps
// counting upwards.
int64_t unwrap_timestamp(uint64_t v, int64_t near);

struct VideoTiming {
    uint32_t frame_duration = 3000;           // one stts delta for every sample
    std::vector<int64_t> composition_offsets;  // per sample; the first is 0
    bool has_composition_offsets = false;      // some offset is not 0
    bool has_negative_offsets = false;
    std::optional<int64_t> first_pts;          // presentation time of sample 0
};

struct AudioTiming {
    uint32_t timescale = kTsClock;
    uint32_t sample_rate = 48000;
    uint32_t frame_duration = 1920;  // 1024 samples per AAC frame, in `timescale`
    std::optional<int64_t> first_pts;
};

struct ProgramTiming {
    VideoTiming video;
    AudioTiming audio;
    uint64_t video_delay = 0;  // empty edit before the video, 90 kHz ticks
    uint64_t audio_delay = 0;  // empty edit before the audio, 90 kHz ticks
};

// The sampling rate of an ADTS sampling_frequency_index, or 0 when reserved.
uint32_t adts_sample_rate(uint8_t index);

ProgramTiming compute_timing(const MediaData& media, const VideoSamples& samples);

}  // namespace morvex
