// What the transport stream reader's layers share: PES marks, the frames of
// an audio stream, and the codecs it carries.
#pragma once

#include <cstdint>
#include <optional>

#include "ts/timestamps.h"

namespace morvex {

struct PesMark {
    uint64_t offset = 0;  // where the PES's bytes begin in its elementary stream
    PesTimestamps timestamps;
    // The packet that began it set discontinuity_indicator (H.222.0
    // 2.4.3.5): its timestamps need not follow the ones before.
    bool discontinuity = false;
    uint64_t packet = 0;  // input position of the packet that began it
    std::optional<int64_t> time;  // the PTS unwrapped on the programme's timeline (audio)
};

// The number of a PES that no frame has: bytes that came before the first
// PES start (the rest of a PES cut off at the front of the input).
inline constexpr uint64_t kNoPes = UINT64_MAX;

// One audio frame of the audio stream: a raw AAC frame, an MPEG audio
// frame, or an AC-3 syncframe (E-AC-3: the syncframes of all substreams of
// one instant, which an MP4 sample holds together).
struct AudioFrame {
    uint64_t offset = 0;  // the frame (AAC: after its ADTS header) in the audio stream
    uint32_t size = 0;
    uint64_t pes = kNoPes;  // number of the PES in which the frame begins
    uint32_t index = 0;     // frames of that PES before this one
};

enum class AudioCodec { Aac, MpegAudio, Ac3, Eac3, Latm };
enum class VideoCodec { H264, Hevc, Mpeg2 };

}  // namespace morvex
