// Transport stream to regular MP4: the first programme's H.264 or HEVC
// video and its AAC, MPEG, AC-3 or E-AC-3 audio, each on its own timeline
// from the PES timestamps.
#pragma once

#include <memory>
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
};

// The demultiplexer's report is appended to `report`, also on failure once
// the stream has been read.
Result<TsConversion> plan_ts_to_mp4(ByteSpan data, std::string& report);

Result<Bytes> convert_ts_to_mp4(ByteSpan data, std::string& report);

// The same with the writing deferred to storage the caller hands over.
Result<PlannedOutput> plan_convert_ts_to_mp4(ByteSpan data, std::string& report);

}  // namespace morvex
