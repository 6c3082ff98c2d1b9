#include "mp4_writer/movie_boxes.h"

namespace morvex {
namespace {

// Unity transformation matrix of mvhd and tkhd (16.16 and 2.30 values).
void write_unity_matrix(ByteWriter& w) {
    const uint32_t m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (uint32_t v : m) w.u32(v);
}

constexpr uint16_t kLanguageUnd = 0x55C4;  // ISO 639-2 "und", packed 5 bits a letter

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
                uint16_t height) {
    size_t box = w.begin_full_box("tkhd", 0, 7);  // enabled, in movie, in preview
    w.u32(0);
    w.u32(0);
    w.u32(track_id);
    w.u32(0);
    w.u32(duration);
    w.zeros(8);
    w.u16(0);  // layer
    w.u16(0);  // alternate_group
    w.u16(volume);
    w.u16(0);
    write_unity_matrix(w);
    w.u32(uint32_t(width) << 16);
    w.u32(uint32_t(height) << 16);
    w.end_box(box);
}

void write_mdhd(ByteWriter& w, uint32_t timescale, uint32_t duration) {
    size_t box = w.begin_full_box("mdhd", 0, 0);
    w.u32(0);
    w.u32(0);
    w.u32(timescale);
    w.u32(duration);
    w.u16(kLanguageUnd);
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

void write_delay_edit(ByteWriter& w, uint32_t delay, uint32_t media_duration) {
    size_t edts = w.begin_box("edts");
    size_t elst = w.begin_full_box("elst", 0, 0);
    w.u32(2);
    w.u32(delay);
    w.u32(0xFFFFFFFF);  // media_time -1: an empty edit
    w.u16(1);
    w.u16(0);
    w.u32(media_duration);
    w.u32(0);  // media_time 0
    w.u16(1);
    w.u16(0);
    w.end_box(elst);
    w.end_box(edts);
}

void write_uniform_stts(ByteWriter& w, uint32_t sample_count, uint32_t delta) {
    size_t box = w.begin_full_box("stts", 0, 0);
    w.u32(1);
    w.u32(sample_count);
    w.u32(delta);
    w.end_box(box);
}

void write_single_chunk_stsc(ByteWriter& w, uint32_t sample_count) {
    size_t box = w.begin_full_box("stsc", 0, 0);
    w.u32(1);
    w.u32(1);  // first_chunk
    w.u32(sample_count);
    w.u32(1);  // sample_description_index
    w.end_box(box);
}

void write_stsz(ByteWriter& w, std::span<const uint32_t> sizes) {
    size_t box = w.begin_full_box("stsz", 0, 0);
    w.u32(0);  // sizes vary
    w.u32(uint32_t(sizes.size()));
    w.out.reserve(w.out.size() + 4 * sizes.size());
    for (uint32_t s : sizes) w.u32(s);
    w.end_box(box);
}

size_t write_single_chunk_offset(ByteWriter& w, bool large) {
    size_t box = w.begin_full_box(large ? "co64" : "stco", 0, 0);
    w.u32(1);
    size_t field = w.out.size();
    if (large)
        w.u64(0);
    else
        w.u32(0);
    w.end_box(box);
    return field;
}

}  // namespace morvex
