#include "fmp4_processor/track_timescales.h"

#include "common/box_header.h"
#include "common/byte_writer.h"

namespace morvex {
namespace {

struct Box {
    uint32_t type;
    ByteSpan whole;    // header included
    ByteSpan payload;  // after the header
};

// The box at `pos` of `range`, when its header is sound and it fits the range.
// Size 0 runs to the end of the range (ISO/IEC 14496-12 4.2).
std::optional<Box> box_at(ByteSpan range, size_t pos) {
    auto h = read_box_header(range, pos);
    if (!h) return std::nullopt;
    uint64_t size = h->size == 0 ? range.size() - pos : h->size;
    if (size < h->header_size || size > range.size() - pos) return std::nullopt;
    ByteSpan whole = range.subspan(pos, size_t(size));
    return Box{h->type, whole, whole.subspan(h->header_size)};
}

// First child of `type` directly inside `payload`.
std::optional<Box> find_child(ByteSpan payload, uint32_t type) {
    size_t pos = 0;
    while (auto box = box_at(payload, pos)) {
        if (box->type == type) return box;
        pos += box->whole.size();
    }
    return std::nullopt;
}

// tkhd (8.3.2): track_ID follows creation and modification times, which are
// 32 bits wide in version 0 and 64 bits in version 1.
std::optional<uint32_t> track_id_of(ByteSpan tkhd_payload) {
    ByteReader r{tkhd_payload};
    auto version = r.u8();
    if (!version || !r.skip(3) || !r.skip(*version == 1 ? 16 : 8)) return std::nullopt;
    return r.u32();
}

// mdhd (8.4.2): timescale follows the two times, laid out as in tkhd.
std::optional<uint32_t> timescale_of(ByteSpan mdhd_payload) {
    ByteReader r{mdhd_payload};
    auto version = r.u8();
    if (!version || !r.skip(3) || !r.skip(*version == 1 ? 16 : 8)) return std::nullopt;
    return r.u32();
}

}  // namespace

std::vector<TrackTimescale> read_track_timescales(ByteSpan init) {
    std::vector<TrackTimescale> tracks;
    auto moov = find_child(init, fourcc_value("moov"));
    if (!moov) return tracks;
    size_t pos = 0;
    while (auto trak = box_at(moov->payload, pos)) {
        pos += trak->whole.size();
        if (trak->type != fourcc_value("trak")) continue;
        auto tkhd = find_child(trak->payload, fourcc_value("tkhd"));
        auto mdia = find_child(trak->payload, fourcc_value("mdia"));
        if (!tkhd || !mdia) continue;
        auto mdhd = find_child(mdia->payload, fourcc_value("mdhd"));
        if (!mdhd) continue;
        auto id = track_id_of(tkhd->payload);
        auto timescale = timescale_of(mdhd->payload);
        if (id && timescale && *timescale != 0) tracks.push_back({*id, *timescale});
    }
    return tracks;
}

std::optional<uint32_t> find_timescale(const std::vector<TrackTimescale>& tracks, uint32_t track_id) {
    for (const auto& t : tracks)
        if (t.track_id == track_id) return t.timescale;
    return std::nullopt;
}

}  // namespace morvex
