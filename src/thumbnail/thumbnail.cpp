#include "thumbnail/thumbnail.h"

namespace morvex {

Result<Bytes> extract_thumbnail_from_ts(ByteSpan) {
    return fail(ErrorKind::NotImplemented, "extract_thumbnail_from_ts is not available yet");
}
Result<Bytes> extract_thumbnail_from_mp4(ByteSpan) {
    return fail(ErrorKind::NotImplemented, "extract_thumbnail_from_mp4 is not available yet");
}

}  // namespace morvex
