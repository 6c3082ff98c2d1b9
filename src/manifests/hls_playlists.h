// HLS playlists (RFC 8216) of packaged CMAF tracks.
#pragma once

#include <span>
#include <string>

#include "manifests/packaged_track.h"

namespace morvex {

// A track's media playlist (its folder's index.m3u8): version 7, VOD,
// EXT-X-TARGETDURATION (4.3.3.1), EXT-X-MAP naming the CMAF header, each
// segment's EXTINF in seconds to the millisecond, EXT-X-ENDLIST; in the
// byte-range layout, EXT-X-MAP's BYTERANGE and each segment's
// EXT-X-BYTERANGE in the track's media file.
std::string hls_media_playlist(const PackagedTrack& track, const PackageLayout& layout);

// master.m3u8: version 7, EXT-X-INDEPENDENT-SEGMENTS, an EXT-X-MEDIA
// rendition per audio track in the group "audio" (the first the default),
// and an EXT-X-STREAM-INF per video track: BANDWIDTH (4.3.4.2: its peak
// segment bit rate plus the largest of the audio tracks'),
// AVERAGE-BANDWIDTH, CODECS (RFC 6381: the video's and every audio
// track's), RESOLUTION, FRAME-RATE and AUDIO. Without video, each audio
// track is a variant stream of its own.
std::string hls_master_playlist(std::span<const PackagedTrack> tracks);

}  // namespace morvex
