#include "roads/movie_input.h"

#include <algorithm>
#include <cstring>

#include "common/byte_reader.h"
#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "media/mp4_tracks.h"
#include "media/timeline.h"
#include "mp4/regular_writer.h"
#include "roads/ts_input.h"
#include "ts/packets.h"

namespace morvex {
namespace {

// Top-level box types an MP4 begins with (ISO/IEC 14496-12 4.3, 8.1, 8.8,
// 8.16).
bool starts_like_mp4(ByteSpan d) {
    if (d.size() < 8) return false;
    const uint32_t type = load_be32(d.data() + 4);
    for (const char* t : {"ftyp", "styp", "moov", "moof", "mdat", "free", "skip", "wide", "sidx", "uuid", "pdin"})
        if (type == fourcc_value(*reinterpret_cast<const char(*)[5]>(t))) return true;
    return false;
}

}  // namespace

InputFormat input_format(ByteSpan data) {
    if (starts_like_mp4(data)) return InputFormat::Mp4;
    if (!data.empty() && std::memchr(data.data(), kTsSyncByte, std::min<size_t>(data.size(), 1 << 16)) != nullptr)
        return InputFormat::Ts;
    return InputFormat::Mp4;
}

Result<std::shared_ptr<MovieInput>> read_movie(ByteSpan data, std::string& report) {
    if (input_format(data) == InputFormat::Ts) {
        auto ts = MORVEX_TRY(read_ts_input(data, report));
        auto input = std::make_shared<MovieInput>();
        input->format = InputFormat::Ts;
        input->origin = double(ts->base) / kTsClock;
        for (size_t k = 0; k < ts->movie->sources.size(); ++k) input->ids.push_back(ts_track_pid(*ts, k));
        // The tracks point into the reader and the templates, which stay
        // where they are.
        input->movie = std::move(ts->movie->movie);
        input->keep = std::move(ts);
        return input;
    }
    auto file = std::make_shared<Mp4Tracks>(MORVEX_TRY(read_mp4_tracks(data)));
    auto input = std::make_shared<MovieInput>();
    input->format = file->fragmented ? InputFormat::Fragmented : InputFormat::Mp4;
    // Fragmented tracks start where their first decode time puts them: the
    // earliest is the movie's time 0, the others keep their offset.
    std::optional<double> earliest;
    for (const auto& t : file->tracks)
        if (t.start_time && !t.samples.empty() && t.timescale)
            earliest = std::min(earliest.value_or(1e300), double(signed_time(*t.start_time)) / t.timescale);
    input->origin = earliest.value_or(0);
    keep_track_offsets(file->tracks, file->movie_timescale);
    input->movie = Movie{ByteSpan(kRebuiltFtyp), file->moov.bytes, file->movie_timescale, std::move(file->tracks)};
    input->keep = file;
    return input;
}

}  // namespace morvex
