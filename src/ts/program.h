// What the transport stream demultiplexer hands on: the programme's video
// and audio elementary streams, gathered from their PES payloads, with the
// position in each stream where every PES began and its timestamps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codecs/aac.h"
#include "common/bytes.h"
#include "ts/timestamps.h"

namespace morvex {

struct PesMark {
    size_t offset = 0;  // where the PES's bytes begin in its elementary stream
    PesTimestamps timestamps;
};

struct ElementaryStream {
    Bytes data;  // PES payloads, headers removed, in order
    std::vector<PesMark> pes;
};

// The PES index of bytes that came before the first PES start (the rest of
// a PES cut off at the front of the input).
inline constexpr uint32_t kNoPes = 0xFFFFFFFFu;

// One ADTS frame of the audio stream.
struct AudioFrame {
    size_t offset = 0;  // the raw frame, after its header, in the audio stream
    uint32_t size = 0;
    uint32_t pes = 0;    // index of the PES in which the frame begins
    uint32_t index = 0;  // frames of that PES before this one
};

struct TsProgram {
    std::optional<uint16_t> video_pid;
    std::optional<uint16_t> audio_pid;
    ElementaryStream video;
    ElementaryStream audio;
    std::vector<AudioFrame> audio_frames;
    std::optional<aac::AdtsHeader> audio_config;  // of the first frame
    // The demultiplexer's report, a line each, for the caller to print.
    std::string report;
};

}  // namespace morvex
