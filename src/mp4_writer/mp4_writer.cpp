#include "mp4_writer/mp4_writer.h"
namespace morvex {
Result<Bytes> create_mp4_with_options(MediaData media, bool) {
    if (media.video_data.empty()) return fail(ErrorKind::InvalidData, "No video data found");
    return Bytes{};
}
}
