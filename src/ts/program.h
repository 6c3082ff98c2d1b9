// What the transport stream demultiplexer hands on: the programme's video
// and audio elementary streams, gathered from their PES payloads, with the
// position in each stream where every PES began and its timestamps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codecs/aac.h"
#include "codecs/ac3.h"
#include "codecs/mpeg_audio.h"
#include "common/bytes.h"
#include "media/source_pieces.h"
#include "ts/timestamps.h"

namespace morvex {

struct PesMark {
    size_t offset = 0;  // where the PES's bytes begin in its elementary stream
    PesTimestamps timestamps;
    // The packet that began it set discontinuity_indicator (H.222.0
    // 2.4.3.5): its timestamps need not follow the ones before.
    bool discontinuity = false;
    size_t packet = 0;  // where the packet that began it starts in the input
};

struct ElementaryStream {
    // PES payloads, headers removed, in order: gathered into `data` (audio,
    // which is small and read frame by frame), or left in place in the
    // input as `pieces` (video).
    Bytes data;
    SourcePieces pieces;
    bool in_place = false;
    std::vector<PesMark> pes;
    bool pending_discontinuity = false;  // seen on the PID since the last PES start

    uint64_t size() const { return in_place ? pieces.size : data.size(); }
};

// The PES index of bytes that came before the first PES start (the rest of
// a PES cut off at the front of the input).
inline constexpr uint32_t kNoPes = 0xFFFFFFFFu;

// One audio frame of the audio stream: a raw AAC frame, an MPEG audio
// frame, or an AC-3 syncframe (E-AC-3: the syncframes of all substreams of
// one instant, which an MP4 sample holds together).
struct AudioFrame {
    size_t offset = 0;  // the frame (AAC: after its ADTS header) in the audio stream
    uint32_t size = 0;
    uint32_t pes = 0;    // index of the PES in which the frame begins
    uint32_t index = 0;  // frames of that PES before this one
};

enum class AudioCodec { Aac, MpegAudio, Ac3, Eac3 };
enum class VideoCodec { H264, Hevc };

struct TsProgram {
    std::optional<uint16_t> video_pid;
    std::optional<uint16_t> audio_pid;
    // The stream type of a video stream the module does not carry, when
    // that is the only video the programme has.
    std::optional<uint8_t> unsupported_video;
    ElementaryStream video;
    ElementaryStream audio;
    VideoCodec video_codec = VideoCodec::H264;
    AudioCodec audio_codec = AudioCodec::Aac;
    std::vector<AudioFrame> audio_frames;
    std::optional<aac::AdtsHeader> audio_config;          // of the first ADTS frame
    std::optional<mpeg_audio::FrameHeader> mpeg_config;   // of the first MPEG audio frame
    std::optional<ac3::FrameHeader> ac3_config;           // of the first AC-3 / E-AC-3 syncframe
    std::optional<ac3::Eac3Config> eac3_config;           // of the first E-AC-3 audio frame
    // The demultiplexer's report, a line each, for the caller to print.
    std::string report;
};

}  // namespace morvex
