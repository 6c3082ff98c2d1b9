// Key frame of a transport stream: the first parameter sets of the stream
// (H.264: SPS and PPS; HEVC: VPS, SPS and PPS), each behind a four-byte
// start code, then the first IDR (HEVC: IRAP) picture's slices as they
// stand in the stream, so that the result decodes alone.
#include "codecs/avc_config.h"
#include "codecs/h264.h"
#include "common/messages.h"
#include "roads/thumbnails.h"
#include "ts/access_units.h"
#include "ts/demuxer.h"

namespace morvex {

namespace {

struct Found {
    std::optional<Result<Bytes>> answer;  // empty: the prefix read is too short to tell
};

// The key frame, if `data` (the whole stream, or a prefix of it) holds it
// whole.
Found key_frame_in(ByteSpan data, bool whole) {
    using h264::Nal;
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

    // The first VPS (HEVC only), SPS and PPS.
    std::optional<Nal> sets[3];
    const bool hevc = program.video_codec == VideoCodec::Hevc;
    auto have_sets = [&] { return (!hevc || sets[0]) && sets[1] && sets[2]; };
    std::optional<Nal> picture;  // from the first slice's start code to the last slice's end
    bool done = false;
    for (const Nal& nal : h264::split_nal_units(video)) {
        const NalRole role = role_of(program.video_codec, nal);
        if (role.parameter_set >= 0 && !sets[role.parameter_set]) sets[role.parameter_set] = nal;
        if (done) {
            if (have_sets()) break;
            continue;
        }
        if (!picture) {
            if (role.vcl && role.random_access) picture = nal;
            continue;
        }
        // The slices of one picture follow each other: a further slice of
        // the key picture that does not begin a picture, right behind the
        // last one.
        if (role.vcl && role.random_access && nal.start == picture->end && !role.starts_picture)
            picture->end = nal.end;
        else
            done = true;
    }
    // A picture may go on past the end of a prefix, and its parameter sets
    // may come later still.
    if (!whole && !(done && have_sets())) return Found{};
    if (!picture) return Found{fail(ErrorKind::NotFound, msg::kNoIdr)};

    Bytes out;
    const size_t picture_size = size_t(picture->end - picture->start);
    size_t reserve = picture_size;
    for (const auto& set : sets)
        if (set) reserve += 4 + size_t(set->size());
    out.reserve(reserve);
    for (const auto& set : sets)
        if (set) append_annexb_nal(out, video.gather(set->header, size_t(set->size())));
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
