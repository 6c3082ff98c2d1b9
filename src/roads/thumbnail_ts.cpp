// Key frame of a transport stream: the first SPS and PPS of the stream, each
// behind a four-byte start code, then the first IDR picture's slices as they
// stand in the stream, so that the result decodes alone.
#include "codecs/avc_config.h"
#include "codecs/h264.h"
#include "common/messages.h"
#include "roads/thumbnails.h"
#include "ts/demuxer.h"

namespace morvex {

namespace {

struct Found {
    std::optional<Result<Bytes>> answer;  // empty: the prefix read is too short to tell
};

// The key frame, if `data` (the whole stream, or a prefix of it) holds it
// whole.
Found key_frame_in(ByteSpan data, bool whole) {
    using namespace h264;
    auto demuxed = demux_ts(data);
    if (!demuxed) {
        if (!whole) return Found{};
        return Found{Result<Bytes>(std::unexpected(std::move(demuxed.error())))};
    }
    const TsProgram& program = *demuxed;
    const SourcePieces& video = program.video.pieces;
    if (video.size == 0) {
        if (!whole) return Found{};
        if (program.unsupported_video) return Found{invalid(unsupported_video_message(*program.unsupported_video))};
        return Found{invalid(msg::kNoVideo)};
    }

    std::optional<Nal> sps, pps;
    std::optional<Nal> picture;  // from the first slice's start code to the last slice's end
    bool done = false;
    for (const Nal& nal : split_nal_units(video)) {
        const uint8_t type = nal.type();
        if (type == kSps && !sps) sps = nal;
        if (type == kPps && !pps) pps = nal;
        if (done) {
            if (sps && pps) break;
            continue;
        }
        if (!picture) {
            if (type == kSliceIdr) picture = nal;
            continue;
        }
        // The slices of one picture follow each other: a further IDR slice
        // whose first_mb_in_slice is not 0, right behind the last one.
        if (type == kSliceIdr && nal.start == picture->end && !nal.starts_picture()) picture->end = nal.end;
        else done = true;
    }
    // A picture may go on past the end of a prefix, and its parameter sets
    // may come later still.
    if (!whole && !(done && sps && pps)) return Found{};
    if (!picture) return Found{fail(ErrorKind::NotFound, msg::kNoIdr)};

    Bytes out;
    const size_t picture_size = size_t(picture->end - picture->start);
    out.reserve((sps ? 4 + sps->size() : 0) + (pps ? 4 + pps->size() : 0) + picture_size);
    if (sps) append_annexb_nal(out, video.gather(sps->header, size_t(sps->size())));
    if (pps) append_annexb_nal(out, video.gather(pps->header, size_t(pps->size())));
    const size_t at = out.size();
    out.resize(at + picture_size);
    video.copy(picture->start, picture_size, out.data() + at);
    return Found{std::move(out)};
}

}  // namespace

// The first key frame is near the front of most streams: ever longer
// prefixes are read (each twice the last), so the work stays within twice
// what finding it needs, and the whole stream is read only when it must be.
Result<Bytes> extract_thumbnail_from_ts(ByteSpan data) {
    size_t prefix = size_t(1) << 20;
    while (true) {
        const bool whole = prefix >= data.size();
        Found found = key_frame_in(whole ? data : data.first(prefix), whole);
        if (found.answer) return std::move(*found.answer);
        prefix *= 2;
    }
}

}  // namespace morvex
