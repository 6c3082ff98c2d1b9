// Fresh ISO/IEC 14496-12 header boxes, for tracks that come from no MP4
// (a transport stream); their durations are set when the file is written.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "common/byte_writer.h"

namespace morvex {

void write_mvhd(ByteWriter& w, uint32_t timescale, uint32_t duration, uint32_t next_track_id);  // 8.2.2
// tkhd: `enabled` sets track_enabled beside track_in_movie and
// track_in_preview; `alternate_group` groups tracks of which a player plays one.
void write_tkhd(ByteWriter& w, uint32_t track_id, uint32_t duration, uint16_t volume, uint16_t width,
                uint16_t height, bool enabled = true, uint16_t alternate_group = 0);          // 8.3.2
// mdhd: `language` is an ISO 639-2/T code (three lower-case letters), "und"
// when not given.
void write_mdhd(ByteWriter& w, uint32_t timescale, uint32_t duration, std::string_view language = "und");  // 8.4.2
void write_hdlr(ByteWriter& w, std::string_view handler_type);                               // 8.4.3
void write_dinf(ByteWriter& w);                                                              // 8.7.1

// What the headers of a fresh track say.
struct FreshTrack {
    uint32_t track_id = 1;
    bool video = true;
    uint16_t width = 0, height = 0;  // of a video track
    uint32_t timescale = 90000;
    bool enabled = true;
    uint16_t alternate_group = 0;
    std::string_view language = "und";
};

// A trak to be the writer's template for a fresh track: tkhd, and mdia
// with mdhd, hdlr and minf (vmhd or smhd, dinf, and an stbl that holds only
// the stsd with the one entry `write_entry` writes).
void write_fresh_trak(ByteWriter& w, const FreshTrack& t, const std::function<void(ByteWriter&)>& write_entry);

}  // namespace morvex
