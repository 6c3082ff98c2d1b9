// Transport stream to regular MP4: the first programme's H.264 or HEVC
// video and its AAC, MPEG, AC-3 or E-AC-3 audio, each on its own timeline
// from the PES timestamps.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4/regular_writer.h"
#include "ts/program.h"

namespace morvex {

// What a conversion writes: the movie, and the storage its samples and
// templates point into, which must live as long as the movie.
struct TsConversion {
    std::unique_ptr<TsProgram> program;
    Bytes templates;  // the moov and trak templates, one after another
    Movie movie;
    // Where the samples come from, for a caller that cuts the stream: the
    // presentation time of each track's first sample (90 kHz, on the
    // programme's timeline), and per sample the input position of the
    // packet that began the PES in which it starts (kNoPacket before the
    // first PES start), with where it starts in that PES: the byte offset
    // of a picture, the index of an audio frame.
    std::optional<int64_t> video_first_time, audio_first_time;
    int64_t video_first_offset = 0;  // PTS minus DTS of the first picture (90 kHz)
    std::vector<std::pair<size_t, uint32_t>> video_units;
    std::vector<std::pair<size_t, uint32_t>> audio_frames;
};

inline constexpr size_t kNoPacket = SIZE_MAX;

struct TsRoadOptions {
    // Audio presented before the first IDR picture is left out, with the
    // pictures before it that cannot be decoded.
    bool audio_from_first_picture = true;
};

// The demultiplexer's report is appended to `report`, also on failure once
// the stream has been read.
Result<TsConversion> plan_ts_to_mp4(ByteSpan data, std::string& report, const TsRoadOptions& options = {});

Result<Bytes> convert_ts_to_mp4(ByteSpan data, std::string& report);

// The same with the writing deferred to storage the caller hands over.
Result<PlannedOutput> plan_convert_ts_to_mp4(ByteSpan data, std::string& report);

}  // namespace morvex
