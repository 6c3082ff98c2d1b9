// Packaging for HLS and DASH: any input as CMAF tracks (a header and
// segments each), their HLS playlists and their DASH manifest, as a tree of
// files in memory.
#pragma once

#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex {

struct PackageOptions {
    double segment_duration = 6.0;  // seconds, > 0
    bool byte_range = false;        // one media file per track, addressed by byte ranges
};

// The files of the tree, each planned: master.m3u8 and manifest.mpd, then
// each track's folder (video, audio, audio_2, ...) with its index.m3u8 and
// init.mp4 and seg1.m4s, seg2.m4s, ... (or its media.mp4). Fails for a
// segment duration that is not a positive number, for input no reader
// takes (with the reader's message), and for input without video or audio.
Result<std::vector<NamedOutput>> plan_package_cmaf(ByteSpan data, const PackageOptions& options, std::string& report);

}  // namespace morvex
