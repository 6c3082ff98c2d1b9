// What a track's sample entry (ISO/IEC 14496-12 8.5.2) says of its stream,
// in the words players use: FFmpeg's codec name, the codec string of
// RFC 6381 that MSE's isTypeSupported and HLS's CODECS attribute take, the
// picture size, or the audio's sampling rate and channels, and the
// language of the media header. Every reader gives its tracks a trak box,
// so a transport stream is described from the entries written for it.
#pragma once

#include <cstdint>
#include <string>

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

struct StreamDescription {
    std::string codec;         // "h264", "hevc", "aac", "mp3", "ac3", ...; the entry's type when unknown
    std::string codec_string;  // "avc1.64001f", "hvc1.1.6.L93.B0", "mp4a.40.2", "ac-3", ...
    uint16_t width = 0;        // visual entries
    uint16_t height = 0;
    uint32_t sample_rate = 0;  // audio entries
    uint16_t channels = 0;
    // AC-3 and E-AC-3: the loudspeakers of dac3 or dec3 as E-AC-3's
    // chanmap places them (ETSI TS 102 366 Annex E: L, C, R, Ls, Rs from
    // the top bit down, ..., LFE the lowest), as DASH signals them; 0
    // otherwise.
    uint16_t dolby_channels = 0;
    std::string language;      // ISO 639-2/T of mdhd; empty for "und" or none
};

// The description of a trak box (header included) from its first sample
// entry; fails when the trak has no sample description.
Result<StreamDescription> describe_track(ByteSpan trak);

}  // namespace morvex
