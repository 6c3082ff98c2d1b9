// Key frame of a transport stream: the demultiplexed video is scanned for the
// first IDR picture, and the first SPS and PPS of the stream go in front of
// it, each behind a four-byte start code, so that the result decodes alone.
#include "thumbnail/thumbnail.h"

#include "common/byte_writer.h"
#include "thumbnail/idr_picture.h"
#include "ts_parser/ts_parser.h"

namespace morvex {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

void append_parameter_set(ByteWriter& w, const std::optional<Bytes>& set) {
    if (!set) return;
    w.bytes(kStartCode);
    w.bytes(*set);
}

}  // namespace

Result<Bytes> extract_thumbnail_from_ts(ByteSpan data) {
    auto media = parse_ts_packets(data);
    if (!media) return std::unexpected(std::move(media.error()));
    const Bytes& video = media->video_data;
    if (video.empty()) return fail(ErrorKind::InvalidData, "No video data found");
    auto picture = find_first_idr_picture(video);
    if (!picture) return fail(ErrorKind::NotFound, "No I-frame found in video stream");

    Bytes out;
    size_t sets = (media->sps ? 4 + media->sps->size() : 0) + (media->pps ? 4 + media->pps->size() : 0);
    out.reserve(sets + picture->end - picture->begin);
    ByteWriter w{out};
    append_parameter_set(w, media->sps);
    append_parameter_set(w, media->pps);
    w.bytes(ByteSpan(video).subspan(picture->begin, picture->end - picture->begin));
    return out;
}

}  // namespace morvex
