#include "mp4/movie_boxes.h"

namespace morvex {
namespace {

// Unity transformation matrix of mvhd and tkhd (16.16 and 2.30 values).
void write_unity_matrix(ByteWriter& w) {
    const uint32_t m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) w.u32(v);
}

constexpr uint16_t kLanguageUnd = 0x55C4;  // ISO 639-2 "und", packed 5 bits a letter

// Three letters packed 5 bits each as their difference from 0x60 (8.4.2.3);
// anything else is "und".
uint16_t packed_language(std::string_view code) {
    if (code.size() != 3) return kLanguageUnd;
    uint16_t packed = 0;
    for (char c : code) {
        if (c < 'a' || c > 'z') return kLanguageUnd;
        packed = uint16_t(packed << 5 | (c - 0x60));
    }
    return packed;
}

}  // namespace

void write_mvhd(ByteWriter& w, uint32_t timescale, uint32_t duration, uint32_t next_track_id) {
    size_t box = w.begin_full_box("mvhd", 0, 0);
    w.u32(0);  // creation_time
    w.u32(0);  // modification_time
    w.u32(timescale);
    w.u32(duration);
    w.u32(0x00010000);  // rate 1.0
    w.u16(0x0100);      // volume 1.0
    w.zeros(10);
    write_unity_matrix(w);
    w.zeros(24);  // pre_defined
    w.u32(next_track_id);
    w.end_box(box);
}

void write_tkhd(ByteWriter& w, uint32_t track_id, uint32_t duration, uint16_t volume, uint16_t width,
                uint16_t height, bool enabled, uint16_t alternate_group) {
    size_t box = w.begin_full_box("tkhd", 0, enabled ? 7 : 6);  // enabled, in movie, in preview
    w.u32(0);
    w.u32(0);
    w.u32(track_id);
    w.u32(0);
    w.u32(duration);
    w.zeros(8);
    w.u16(0);  // layer
    w.u16(alternate_group);
    w.u16(volume);
    w.u16(0);
    write_unity_matrix(w);
    w.u32(uint32_t(width) << 16);
    w.u32(uint32_t(height) << 16);
    w.end_box(box);
}

void write_mdhd(ByteWriter& w, uint32_t timescale, uint32_t duration, std::string_view language) {
    size_t box = w.begin_full_box("mdhd", 0, 0);
    w.u32(0);
    w.u32(0);
    w.u32(timescale);
    w.u32(duration);
    w.u16(packed_language(language));
    w.u16(0);
    w.end_box(box);
}

void write_hdlr(ByteWriter& w, std::string_view handler_type) {
    size_t box = w.begin_full_box("hdlr", 0, 0);
    w.u32(0);  // pre_defined
    w.fourcc(handler_type);
    w.zeros(12);
    w.u8(0);  // empty name
    w.end_box(box);
}

void write_dinf(ByteWriter& w) {
    size_t dinf = w.begin_box("dinf");
    size_t dref = w.begin_full_box("dref", 0, 0);
    w.u32(1);
    size_t url = w.begin_full_box("url ", 0, 1);  // media data in this file
    w.end_box(url);
    w.end_box(dref);
    w.end_box(dinf);
}

void write_fresh_trak(ByteWriter& w, const FreshTrack& t, const std::function<void(ByteWriter&)>& write_entry) {
    size_t trak = w.begin_box("trak");
    write_tkhd(w, t.track_id, 0, t.video ? 0 : 0x0100, t.video ? t.width : 0, t.video ? t.height : 0, t.enabled,
               t.alternate_group);
    size_t mdia = w.begin_box("mdia");
    write_mdhd(w, t.timescale, 0, t.language);
    write_hdlr(w, t.video ? "vide" : "soun");
    size_t minf = w.begin_box("minf");
    if (t.video) {
        size_t vmhd = w.begin_full_box("vmhd", 0, 1);
        w.zeros(8);  // graphicsmode, opcolor
        w.end_box(vmhd);
    } else {
        size_t smhd = w.begin_full_box("smhd", 0, 0);
        w.u16(0);  // balance
        w.u16(0);
        w.end_box(smhd);
    }
    write_dinf(w);
    size_t stbl = w.begin_box("stbl");
    size_t stsd = w.begin_full_box("stsd", 0, 0);
    w.u32(1);
    write_entry(w);
    w.end_box(stsd);
    w.end_box(stbl);
    w.end_box(minf);
    w.end_box(mdia);
    w.end_box(trak);
}

}  // namespace morvex
