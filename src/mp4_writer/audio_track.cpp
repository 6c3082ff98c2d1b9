#include "common/byte_writer.h"
#include "mp4_writer/moov.h"
#include "mp4_writer/movie_boxes.h"

namespace morvex {
namespace {

// Channels of an AAC channel_configuration (ISO/IEC 14496-3 1.6.3.5); 0
// (described in-band) is taken as stereo.
uint16_t channel_count(uint8_t configuration) {
    if (configuration == 0) return 2;
    if (configuration == 7) return 8;
    return configuration;
}

// esds (ISO/IEC 14496-14 5.6) with the MPEG-4 descriptors of ISO/IEC
// 14496-1 7.2.6 and a 2-byte AudioSpecificConfig (14496-3 1.6.2.1).
void write_esds(ByteWriter& w, const AdtsConfig& config) {
    const uint8_t object_type = uint8_t(config.profile + 1);
    const uint8_t channels = config.channel_configuration == 0 ? 2 : config.channel_configuration;
    const uint16_t asc = uint16_t((object_type & 0x1F) << 11 | (config.sampling_frequency_index & 0x0F) << 7 |
                                  (channels & 0x0F) << 3);
    size_t box = w.begin_full_box("esds", 0, 0);
    w.u8(0x03);  // ES_Descriptor
    w.u8(25);
    w.u16(1);  // ES_ID
    w.u8(0);
    w.u8(0x04);  // DecoderConfigDescriptor
    w.u8(17);
    w.u8(0x40);  // audio ISO/IEC 14496-3
    w.u8(0x15);  // audio stream, reserved bit
    w.u24(768);  // bufferSizeDB
    w.u32(128000);
    w.u32(128000);
    w.u8(0x05);  // DecoderSpecificInfo
    w.u8(2);
    w.u16(asc);
    w.u8(0x06);  // SLConfigDescriptor
    w.u8(1);
    w.u8(2);
    w.end_box(box);
}

void write_mp4a(ByteWriter& w, const AdtsConfig& config, uint32_t sample_rate) {
    size_t box = w.begin_box("mp4a");
    w.zeros(6);
    w.u16(1);  // data_reference_index
    w.zeros(8);
    w.u16(channel_count(config.channel_configuration));
    w.u16(16);  // samplesize
    w.u16(0);
    w.u16(0);
    // 16.16 rate; rates above 65535 Hz do not fit and are left to the esds.
    w.u32(sample_rate <= 0xFFFF ? sample_rate << 16 : 0);
    write_esds(w, config);
    w.end_box(box);
}

}  // namespace

void write_audio_trak(ByteWriter& w, const MediaData& media, const ProgramTiming& timing, bool large,
                      size_t& chunk_offset_at) {
    const AudioTiming& audio = timing.audio;
    const AdtsConfig config = media.audio_config.value_or(AdtsConfig{});
    const uint64_t m = media.audio_frames.size();
    const uint64_t media_duration = m * audio.frame_duration;
    const uint64_t duration_90k = media_duration * kTsClock / audio.timescale;

    size_t trak = w.begin_box("trak");
    write_tkhd(w, 2, track_duration(timing.audio_delay, duration_90k), 0x0100, 0, 0);
    if (timing.audio_delay > 0) write_delay_edit(w, uint32_t(timing.audio_delay), uint32_t(duration_90k));
    size_t mdia = w.begin_box("mdia");
    write_mdhd(w, audio.timescale, uint32_t(media_duration));
    write_hdlr(w, "soun");
    size_t minf = w.begin_box("minf");
    size_t smhd = w.begin_full_box("smhd", 0, 0);
    w.u16(0);  // balance
    w.u16(0);
    w.end_box(smhd);
    write_dinf(w);
    size_t stbl = w.begin_box("stbl");
    size_t stsd = w.begin_full_box("stsd", 0, 0);
    w.u32(1);
    write_mp4a(w, config, audio.sample_rate);
    w.end_box(stsd);
    write_uniform_stts(w, uint32_t(m), audio.frame_duration);
    write_single_chunk_stsc(w, uint32_t(m));
    std::vector<uint32_t> sizes;
    sizes.reserve(media.audio_frames.size());
    for (const auto& frame : media.audio_frames) sizes.push_back(uint32_t(frame.size()));
    write_stsz(w, sizes);
    chunk_offset_at = write_single_chunk_offset(w, large);
    w.end_box(stbl);
    w.end_box(minf);
    w.end_box(mdia);
    w.end_box(trak);
}

}  // namespace morvex
