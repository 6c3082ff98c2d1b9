// The demultiplexer's result: one programme's H.264 video and AAC audio.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/bytes.h"

namespace morvex {

// PTS and DTS of one PES header, 33-bit values of the 90 kHz clock.
struct PesTimestamps {
    std::optional<uint64_t> pts;
    std::optional<uint64_t> dts;
};

// The fields of the first ADTS header (ISO/IEC 13818-7 / 14496-3 1.A.2).
struct AdtsConfig {
    uint8_t profile = 1;                 // audio object type - 1
    uint8_t sampling_frequency_index = 3;
    uint8_t channel_configuration = 2;
};

struct MediaData {
    Bytes video_data;                          // Annex B stream, PES headers removed
    std::vector<PesTimestamps> video_timestamps;  // one pair per video PES start
    std::vector<size_t> video_pes_offsets;     // where each PES's bytes begin in video_data
    std::vector<Bytes> audio_frames;           // raw AAC frames, ADTS headers removed
    std::vector<std::optional<uint64_t>> audio_timestamps;  // one per frame
    std::optional<AdtsConfig> audio_config;    // from the first ADTS header
    std::optional<Bytes> sps;                  // first SPS NAL unit, header byte included
    std::optional<Bytes> pps;                  // first PPS NAL unit
    std::optional<uint16_t> video_pid;
    std::optional<uint16_t> audio_pid;
    uint16_t width = 1920;
    uint16_t height = 1080;

    // Working state of the demultiplexer.
    std::optional<uint64_t> current_audio_pts;
    Bytes audio_buffer;
};

}  // namespace morvex
