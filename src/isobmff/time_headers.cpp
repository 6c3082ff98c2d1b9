#include "isobmff/time_headers.h"

#include <string>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/messages.h"

namespace morvex {
namespace {

const char* box_name(TimeBox box) {
    switch (box) {
        case TimeBox::Mvhd: return "mvhd";
        case TimeBox::Tkhd: return "tkhd";
        case TimeBox::Mdhd: return "mdhd";
    }
    return "";
}

void store_be32(std::span<uint8_t> b, size_t at, uint32_t v) {
    b[at] = uint8_t(v >> 24);
    b[at + 1] = uint8_t(v >> 16);
    b[at + 2] = uint8_t(v >> 8);
    b[at + 3] = uint8_t(v);
}
void store_be64(std::span<uint8_t> b, size_t at, uint64_t v) {
    store_be32(b, at, uint32_t(v >> 32));
    store_be32(b, at + 4, uint32_t(v));
}

}  // namespace

Result<std::optional<TimeHeader>> read_time_header(TimeBox box, ByteSpan payload) {
    if (payload.empty()) return std::optional<TimeHeader>{};
    if (payload.size() < 4) return invalid(msg::kFullBoxHeader);
    const bool wide = payload[0] == 1;
    // Version 1: creation u64 at 4, modification u64 at 12, then timescale
    // (or track_ID and a reserved word) and the u64 duration. Version 0 the
    // same with u32 times and duration.
    const size_t t = wide ? 8 : 4;
    const size_t id_at = 4 + 2 * t;
    const size_t duration_at = id_at + (box == TimeBox::Tkhd ? 8 : 4);
    const size_t fields_end = duration_at + t;
    if (payload.size() < fields_end)
        return invalid(msg::time_header_short(box_name(box), payload[0], payload.size(), fields_end));
    return std::optional<TimeHeader>{TimeHeader{box, wide, id_at, duration_at, fields_end}};
}

uint64_t time_header_duration(const TimeHeader& h, ByteSpan payload) {
    const uint8_t* p = payload.data() + h.duration_at;
    return h.wide ? load_be64(p) : load_be32(p);
}

uint32_t time_header_id(const TimeHeader& h, ByteSpan payload) { return load_be32(payload.data() + h.id_at); }

void patch_time_header(const TimeHeader& h, std::span<uint8_t> payload, uint64_t duration) {
    if (h.wide) {
        store_be64(payload, 4, 0);
        store_be64(payload, 12, 0);
        store_be64(payload, h.duration_at, duration);
    } else {
        store_be32(payload, 4, 0);
        store_be32(payload, 8, 0);
        store_be32(payload, h.duration_at, duration > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(duration));
    }
}

Bytes rebuild_time_header(const TimeHeader& h, ByteSpan payload, uint64_t duration) {
    const bool wide = duration > 0xFFFFFFFFu;
    Bytes out;
    out.reserve(payload.size() + 12);
    ByteWriter w{out};
    w.u8(wide ? 1 : 0);
    w.bytes(payload.subspan(1, 3));  // flags
    if (wide) w.zeros(16); else w.zeros(8);  // creation and modification time
    w.bytes(payload.subspan(h.id_at, h.duration_at - h.id_at));  // timescale or track_ID + reserved
    if (wide) w.u64(duration); else w.u32(uint32_t(duration));
    w.bytes(payload.subspan(h.fields_end));
    return out;
}

Result<Bytes> update_mvhd_duration(ByteSpan payload, uint64_t duration, std::optional<uint32_t> next_track_id) {
    auto h = read_time_header(TimeBox::Mvhd, payload);
    if (!h) return std::unexpected(h.error());
    if (!*h) return Bytes(payload.begin(), payload.end());
    Bytes out = rebuild_time_header(**h, payload, duration);
    // After the duration: rate 4, volume 2, reserved 10, matrix 36,
    // pre_defined 24, next_track_ID 4.
    constexpr size_t kTail = 80;
    const size_t fields_end = out.size() - (payload.size() - (*h)->fields_end);
    if (next_track_id && out.size() - fields_end >= kTail) store_be32(out, fields_end + kTail - 4, *next_track_id);
    return out;
}

uint32_t movie_timescale_of(ByteSpan p) {
    if (!p.empty() && p[0] == 1 && p.size() >= 24) return load_be32(p.data() + 20);
    if (!p.empty() && p[0] != 1 && p.size() >= 16) return load_be32(p.data() + 12);
    return 1000;
}

std::optional<uint32_t> tkhd_track_id(ByteSpan p) {
    // track_ID follows creation and modification times, 32 bits wide in
    // version 0 and 64 bits in version 1.
    if (p.empty()) return std::nullopt;
    const size_t at = p[0] == 1 ? 20 : 12;
    if (p.size() < at + 4) return std::nullopt;
    return load_be32(p.data() + at);
}

std::optional<uint32_t> mdhd_timescale(ByteSpan p) { return tkhd_track_id(p); }  // the same position

uint64_t scale_duration(uint64_t duration, uint32_t from, uint32_t to) {
    if (from == 0 || from == to) return duration;
    const unsigned __int128 v = (unsigned __int128)duration * to / from;
    return v > UINT64_MAX ? UINT64_MAX : uint64_t(v);
}

}  // namespace morvex
