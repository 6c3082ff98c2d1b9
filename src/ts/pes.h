// PES header timestamps (ITU-T H.222.0 2.4.3.6, 2.4.3.7).
#pragma once

#include "common/bytes.h"
#include "ts/timestamps.h"

namespace morvex {

// PTS and DTS from a TS payload that begins with a PES header. Both are
// absent when the payload has no start code or its header does not fit.
PesTimestamps extract_pes_timestamps(ByteSpan payload);

// The bytes after the PES header, or an empty optional when the payload does
// not begin with a PES start code or holds nothing after the header.
std::optional<ByteSpan> pes_payload_after_header(ByteSpan payload);

}  // namespace morvex
