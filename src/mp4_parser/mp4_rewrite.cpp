#include "mp4_parser/mp4_rewrite.h"

namespace morvex {

Result<Bytes> defragment_mp4(ByteSpan) { return fail(ErrorKind::NotImplemented, "defragment_mp4 is not available yet"); }
Result<Bytes> reset_mp4_timestamps(ByteSpan) {
    return fail(ErrorKind::NotImplemented, "reset_mp4_timestamps is not available yet");
}
Result<Bytes> mux_fmp4_tracks(ByteSpan, ByteSpan) {
    return fail(ErrorKind::NotImplemented, "mux_fmp4_tracks is not available yet");
}

}  // namespace morvex
