// Key frame of a transport stream: the first SPS and PPS of the stream, each
// behind a four-byte start code, then the first IDR picture's slices as they
// stand in the stream, so that the result decodes alone.
#include "codecs/avc_config.h"
#include "codecs/h264.h"
#include "common/messages.h"
#include "roads/thumbnails.h"
#include "ts/demuxer.h"

namespace morvex {

Result<Bytes> extract_thumbnail_from_ts(ByteSpan data) {
    using namespace h264;
    TsProgram program = MORVEX_TRY(demux_ts(data));
    const ByteSpan video(program.video.data);
    if (video.empty()) {
        if (program.unsupported_video) return invalid(unsupported_video_message(*program.unsupported_video));
        return invalid(msg::kNoVideo);
    }

    std::optional<ByteSpan> sps, pps;
    std::optional<Nal> picture;  // from the first slice's start code to the last slice's end
    bool done = false;
    for_each_nal(video, [&](const Nal& nal) {
        const uint8_t type = nal_type(video, nal);
        const ByteSpan unit = video.subspan(nal.header, nal.size());
        if (type == kSps && !sps) sps = unit;
        if (type == kPps && !pps) pps = unit;
        if (done) return;
        if (!picture) {
            if (type == kSliceIdr) picture = nal;
            return;
        }
        // The slices of one picture follow each other: a further IDR slice
        // whose first_mb_in_slice is not 0, right behind the last one.
        if (type == kSliceIdr && nal.start == picture->end && !slice_starts_picture(unit)) picture->end = nal.end;
        else done = true;
    });
    if (!picture) return fail(ErrorKind::NotFound, msg::kNoIdr);

    Bytes out;
    out.reserve((sps ? 4 + sps->size() : 0) + (pps ? 4 + pps->size() : 0) + picture->end - picture->start);
    if (sps) append_annexb_nal(out, *sps);
    if (pps) append_annexb_nal(out, *pps);
    ByteWriter{out}.bytes(video.subspan(picture->start, picture->end - picture->start));
    return out;
}

}  // namespace morvex
