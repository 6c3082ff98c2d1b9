// The DASH manifest (ISO/IEC 23009-1) of packaged CMAF tracks.
#pragma once

#include <span>
#include <string>

#include "manifests/packaged_track.h"

namespace morvex {

// manifest.mpd: a static MPD of one Period, mediaPresentationDuration and
// minBufferTime, an AdaptationSet per kind of track (and language), a
// Representation per track with codecs (RFC 6381), bandwidth (its peak
// segment bit rate), width, height and frameRate, or audioSamplingRate and
// an AudioChannelConfiguration.
//
// Segments are addressed by a SegmentTemplate ($Number$) whose
// SegmentTimeline gives each segment's start and duration exactly, in the
// track's timescale (the live and CMAF profiles); in the byte-range layout,
// by a SegmentBase of the track's media file (BaseURL) with the header's
// range and the range of the sidx that indexes the segments (the on-demand
// and CMAF profiles).
std::string dash_manifest(std::span<const PackagedTrack> tracks, const PackageLayout& layout);

}  // namespace morvex
