// The first key frame of a stream as an H.264 or HEVC Annex B byte stream,
// which a decoder opens on its own: parameter sets first, then the picture.
#pragma once

#include "common/bytes.h"
#include "common/error.h"

#include <string>

namespace morvex {

// SPS, PPS and every slice of the first IDR picture of a transport stream;
// of HEVC, VPS, SPS, PPS and the first IRAP picture.
Result<Bytes> extract_thumbnail_from_ts(ByteSpan data);
// The same, with the reader's report of what it read appended to `report`.
Result<Bytes> extract_thumbnail_from_ts(ByteSpan data, std::string& report);

// The parameter sets of the first video track's avcC or hvcC and its first sync
// sample: from the sample table, or from the fragments when the table holds
// no sample (a fragmented MP4).
Result<Bytes> extract_thumbnail_from_mp4(ByteSpan data);

}  // namespace morvex
