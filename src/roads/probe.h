// What an input holds, read from its boxes or its one pass of packets: the
// facts ffprobe gives, and the codec strings players ask for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "media/stream_description.h"

namespace morvex {

struct TrackFacts {
    uint32_t id = 0;  // track_ID, or the PID of a transport stream
    bool video = false;
    StreamDescription stream;
    double start_time = 0;  // seconds: the first sample shown, where a player places it
    double duration = 0;
    uint64_t frames = 0;
    uint64_t key_frames = 0;
    double bitrate = 0;  // bits a second
    double frame_rate = 0;  // video: frames a second, on average
};

struct MovieFacts {
    std::string format;  // "mpegts", "mp4" or "fmp4"
    double duration = 0;  // from the first sample shown of any track to the end of the last
    std::vector<TrackFacts> tracks;  // video and audio tracks
};

// Fails for input that no reader takes (garbage, nothing, an MP4 whose moov
// is cut off), with the reader's message.
Result<MovieFacts> probe(ByteSpan data, std::string& report);

}  // namespace morvex
