// The three time-carrying full boxes of ISO/IEC 14496-12: the movie header
// `mvhd` (8.2.2), the track header `tkhd` (8.3.2) and the media header `mdhd`
// (8.4.2). Version 1 stores creation time, modification time and duration in
// 64 bits, version 0 in 32; any version other than 1 is read as version 0.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

enum class TimeBox { Mvhd, Tkhd, Mdhd };

// Where the fields of one header payload lie.
struct TimeHeader {
    TimeBox box;
    bool wide;            // version 1
    size_t id_at;         // timescale (mvhd, mdhd) or track_ID (tkhd)
    size_t duration_at;
    size_t fields_end;    // first byte after the duration
};

// nullopt for an empty payload, which is carried over unchanged. A payload of
// 1 to 3 bytes, or one shorter than its version's fields, is an error.
Result<std::optional<TimeHeader>> read_time_header(TimeBox box, ByteSpan payload);

uint64_t time_header_duration(const TimeHeader& h, ByteSpan payload);
uint32_t time_header_id(const TimeHeader& h, ByteSpan payload);

// In-place form for the timestamp reset: times cleared, duration set (a
// version-0 field saturates at 0xFFFFFFFF); the payload keeps its length.
void patch_time_header(const TimeHeader& h, std::span<uint8_t> payload, uint64_t duration);

// Fresh form for rebuilt files: times cleared, duration set, version 0 when
// the duration fits in 32 bits and version 1 otherwise; the fields after the
// duration are carried over.
Bytes rebuild_time_header(const TimeHeader& h, ByteSpan payload, uint64_t duration);

// The movie header of a rebuilt file. next_track_ID is replaced when given and
// the payload holds the whole box.
Result<Bytes> update_mvhd_duration(ByteSpan payload, uint64_t duration,
                                   std::optional<uint32_t> next_track_id = std::nullopt);

// Timescale of an mvhd payload; 1000 when unreadable.
uint32_t movie_timescale_of(ByteSpan mvhd_payload);

// track_ID of a tkhd payload, when the payload holds it.
std::optional<uint32_t> tkhd_track_id(ByteSpan tkhd_payload);

// timescale of an mdhd payload, when the payload holds it.
std::optional<uint32_t> mdhd_timescale(ByteSpan mdhd_payload);

// duration × to ÷ from, truncated and saturated; unscaled when from is 0 or
// equals to.
uint64_t scale_duration(uint64_t duration, uint32_t from, uint32_t to);

}  // namespace morvex
