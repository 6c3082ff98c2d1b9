// A packaged track as the playlists (HLS) and the manifest (DASH) describe
// it: what its stream is, and where each of its segments lies and how long
// it lasts. The files are laid out in one tree:
//
//   master.m3u8, manifest.mpd
//   video/index.m3u8, video/init.mp4, video/seg1.m4s, video/seg2.m4s, ...
//   audio/..., audio_2/..., video_2/...
//
// or, in the byte-range layout, each track's header, a segment index (sidx)
// and its segments one after the other in one media file, video/media.mp4,
// addressed by byte ranges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/stream_description.h"

namespace morvex {

struct PackagedSegment {
    uint64_t decode_time = 0;  // of its first sample (tfdt), in the track's timescale
    uint64_t duration = 0;     // its samples' durations together
    uint64_t size = 0;         // bytes of its file, or of its range
    uint64_t offset = 0;       // byte-range layout: where it begins in the media file
};

struct PackagedTrack {
    bool video = false;
    std::string folder;  // "video", "audio", "audio_2", ...
    StreamDescription stream;
    uint32_t timescale = 1;
    uint32_t frame_duration = 0;  // video: its most common sample duration (0: unknown)
    uint64_t header_size = 0;     // bytes of the CMAF header (at 0 in the media file)
    uint64_t index_size = 0;      // byte-range layout: of the sidx that follows the header
    std::vector<PackagedSegment> segments;
};

struct PackageLayout {
    bool byte_range = false;
};

inline constexpr const char* kMasterPlaylist = "master.m3u8";
inline constexpr const char* kManifest = "manifest.mpd";
inline constexpr const char* kMediaPlaylist = "index.m3u8";
inline constexpr const char* kHeaderFile = "init.mp4";
inline constexpr const char* kMediaFile = "media.mp4";

// "seg1.m4s" for segment 0, and so on.
inline std::string segment_file(size_t index) { return "seg" + std::to_string(index + 1) + ".m4s"; }

// A duration in whole milliseconds, to the nearest.
uint64_t milliseconds(uint64_t ticks, uint32_t timescale);
// Milliseconds as seconds with three decimals: "6.000".
std::string seconds_text(uint64_t ms);

// The seconds every segment's duration, rounded to the nearest integer,
// stays within (RFC 8216 4.3.3.1), at least 1.
uint64_t target_duration(const PackagedTrack& t);

// Bits a second (RFC 8216 4.3.4.2): the peak segment bit rate, the largest
// of any run of segments lasting between 0.5 and 1.5 times the target
// duration (of all segments together when none lasts that long), and the
// average segment bit rate; both rounded up.
uint64_t peak_bit_rate(const PackagedTrack& t);
uint64_t average_bit_rate(const PackagedTrack& t);

// A codec string as a playlist or an XML attribute may hold it: any byte
// other than letters, digits and ".-_+" (a sample entry of an unknown type
// may be named by any four bytes) becomes "_".
std::string safe_codec_string(const std::string& s);
// A language code of letters only (ISO 639-2/T, as mdhd holds it), or "".
std::string safe_language(const std::string& s);

}  // namespace morvex
