#include "common/byte_writer.h"
#include "mp4_writer/moov.h"
#include "mp4_writer/movie_boxes.h"

namespace morvex {
namespace {

// avc1 sample entry (ISO/IEC 14496-15 5.4.2) with its avcC when both
// parameter sets are known.
void write_avc1(ByteWriter& w, const MediaData& media) {
    size_t avc1 = w.begin_box("avc1");
    w.zeros(6);
    w.u16(1);  // data_reference_index
    w.zeros(16);
    w.u16(media.width);
    w.u16(media.height);
    w.u32(0x00480000);  // 72 dpi
    w.u32(0x00480000);
    w.u32(0);
    w.u16(1);  // frame_count
    w.zeros(32);
    w.u16(0x0018);  // depth
    w.u16(0xFFFF);
    if (media.sps && media.pps) {
        const Bytes& sps = *media.sps;
        const Bytes& pps = *media.pps;
        size_t avcc = w.begin_box("avcC");
        const bool short_sps = sps.size() < 4;
        w.u8(1);
        w.u8(short_sps ? 100 : sps[1]);  // profile_idc
        w.u8(short_sps ? 0 : sps[2]);    // constraint flags
        w.u8(short_sps ? 31 : sps[3]);   // level_idc
        w.u8(0xFF);                      // 4-byte NAL unit lengths
        w.u8(0xE1);                      // one SPS
        w.u16(uint16_t(sps.size()));
        w.bytes(sps);
        w.u8(1);
        w.u16(uint16_t(pps.size()));
        w.bytes(pps);
        w.end_box(avcc);
    }
    w.end_box(avc1);
}

// ctts (8.6.1.3): version 1 carries signed offsets.
void write_ctts(ByteWriter& w, const VideoTiming& timing) {
    size_t box = w.begin_full_box("ctts", timing.has_negative_offsets ? 1 : 0, 0);
    w.u32(uint32_t(timing.composition_offsets.size()));
    w.out.reserve(w.out.size() + 8 * timing.composition_offsets.size());
    for (int64_t offset : timing.composition_offsets) {
        w.u32(1);
        w.u32(uint32_t(offset));
    }
    w.end_box(box);
}

// stss (8.6.2): the samples holding an IDR picture, numbered from 1.
void write_stss(ByteWriter& w, const VideoSamples& samples) {
    size_t box = w.begin_full_box("stss", 0, 0);
    size_t count_at = w.out.size();
    w.u32(0);
    uint32_t count = 0;
    for (size_t i = 0; i < samples.count(); ++i) {
        if (!samples.sync[i]) continue;
        w.u32(uint32_t(i + 1));
        ++count;
    }
    w.patch_u32(count_at, count);
    w.end_box(box);
}

bool every_sample_is_sync(const VideoSamples& samples) {
    for (uint8_t s : samples.sync)
        if (!s) return false;
    return true;
}

}  // namespace

void write_video_trak(ByteWriter& w, const MediaData& media, const VideoSamples& samples, const ProgramTiming& timing,
                      bool large, size_t& chunk_offset_at) {
    const uint32_t n = uint32_t(samples.count());
    const uint64_t media_duration = uint64_t(timing.video.frame_duration) * samples.count();
    size_t trak = w.begin_box("trak");
    write_tkhd(w, 1, track_duration(timing.video_delay, media_duration), 0, media.width, media.height);
    if (timing.video_delay > 0) write_delay_edit(w, uint32_t(timing.video_delay), uint32_t(media_duration));
    size_t mdia = w.begin_box("mdia");
    write_mdhd(w, kTsClock, uint32_t(media_duration));
    write_hdlr(w, "vide");
    size_t minf = w.begin_box("minf");
    size_t vmhd = w.begin_full_box("vmhd", 0, 1);
    w.zeros(8);  // graphicsmode, opcolor
    w.end_box(vmhd);
    write_dinf(w);
    size_t stbl = w.begin_box("stbl");
    size_t stsd = w.begin_full_box("stsd", 0, 0);
    w.u32(1);
    write_avc1(w, media);
    w.end_box(stsd);
    write_uniform_stts(w, n, timing.video.frame_duration);
    write_single_chunk_stsc(w, n);
    write_stsz(w, samples.sizes);
    chunk_offset_at = write_single_chunk_offset(w, large);
    if (timing.video.has_composition_offsets) write_ctts(w, timing.video);
    if (!every_sample_is_sync(samples)) write_stss(w, samples);
    w.end_box(stbl);
    w.end_box(minf);
    w.end_box(mdia);
    w.end_box(trak);
}

}  // namespace morvex
