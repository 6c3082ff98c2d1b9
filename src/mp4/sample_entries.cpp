#include "mp4/sample_entries.h"

#include "codecs/avc_config.h"
#include "codecs/hvcc.h"

namespace morvex {
namespace {

// The expandable size of an MPEG-4 descriptor (ISO/IEC 14496-1 8.3.3):
// seven bits a byte, the high bit set on all but the last.
void write_descriptor_size(ByteWriter& w, size_t n) {
    int bytes = 1;
    while (bytes < 4 && (n >> (7 * bytes)) != 0) ++bytes;
    for (int k = bytes - 1; k >= 0; --k) w.u8(uint8_t(((n >> (7 * k)) & 0x7F) | (k > 0 ? 0x80 : 0)));
}

size_t descriptor_size(size_t n) { return n < (1u << 7) ? 2 + n : n < (1u << 14) ? 3 + n : n < (1u << 21) ? 4 + n : 5 + n; }

// esds with the MPEG-4 descriptors of ISO/IEC 14496-1 7.2.6: the decoder
// configuration of `object_type` (a visual or an audio stream), with its
// DecoderSpecificInfo when one is given.
void write_esds(ByteWriter& w, uint8_t object_type, bool visual, ByteSpan specific_info, uint32_t bitrate) {
    const size_t info = specific_info.empty() ? 0 : descriptor_size(specific_info.size());
    const size_t config = 13 + info;
    size_t box = w.begin_full_box("esds", 0, 0);
    w.u8(0x03);  // ES_Descriptor
    write_descriptor_size(w, 3 + descriptor_size(config) + 3);
    w.u16(1);  // ES_ID
    w.u8(0);
    w.u8(0x04);  // DecoderConfigDescriptor
    write_descriptor_size(w, config);
    w.u8(object_type);
    w.u8(visual ? 0x11 : 0x15);  // streamType 4 (visual) or 5 (audio), reserved bit
    w.u24(visual ? 0 : 768);     // bufferSizeDB
    w.u32(bitrate);
    w.u32(bitrate);
    if (!specific_info.empty()) {
        w.u8(0x05);  // DecoderSpecificInfo
        write_descriptor_size(w, specific_info.size());
        w.bytes(specific_info);
    }
    w.u8(0x06);  // SLConfigDescriptor
    w.u8(1);
    w.u8(2);
    w.end_box(box);
}

// VisualSampleEntry fields (ISO/IEC 14496-12 12.1.3) after the box header.
void write_visual_fields(ByteWriter& w, uint16_t width, uint16_t height) {
    w.zeros(6);
    w.u16(1);  // data_reference_index
    w.zeros(16);
    w.u16(width);
    w.u16(height);
    w.u32(0x00480000);  // 72 dpi
    w.u32(0x00480000);
    w.u32(0);
    w.u16(1);  // frame_count
    w.zeros(32);
    w.u16(0x0018);  // depth
    w.u16(0xFFFF);
}

// AudioSampleEntry fields (ISO/IEC 14496-12 12.2.3) after the box header.
void write_audio_fields(ByteWriter& w, uint16_t channels, uint32_t sample_rate) {
    w.zeros(6);
    w.u16(1);  // data_reference_index
    w.zeros(8);
    w.u16(channels);
    w.u16(16);  // samplesize
    w.u16(0);
    w.u16(0);
    // 16.16 rate; rates above 65535 Hz do not fit and are left to the
    // decoder configuration.
    w.u32(sample_rate <= 0xFFFF ? sample_rate << 16 : 0);
}

}  // namespace

void write_avc_entry(ByteWriter& w, bool in_band, uint16_t width, uint16_t height, std::span<const ByteSpan> sps,
                     std::span<const ByteSpan> pps) {
    size_t box = w.begin_box(in_band ? "avc3" : "avc1");
    write_visual_fields(w, width, height);
    if (!sps.empty() && !pps.empty()) write_avcc_box(w, sps, pps);
    w.end_box(box);
}

void write_hvc1_entry(ByteWriter& w, uint16_t width, uint16_t height, ByteSpan vps, ByteSpan sps, ByteSpan pps,
                      bool hev1) {
    size_t box = w.begin_box(hev1 ? "hev1" : "hvc1");
    write_visual_fields(w, width, height);
    write_hvcc_box(w, vps, sps, pps, !hev1);
    w.end_box(box);
}

void write_mp4a_entry(ByteWriter& w, const aac::AdtsHeader& config, uint32_t sample_rate) {
    size_t box = w.begin_box("mp4a");
    write_audio_fields(w, aac::channel_count(config.channel_configuration), sample_rate);
    const uint16_t asc = aac::audio_specific_config(config);
    const uint8_t bytes[2] = {uint8_t(asc >> 8), uint8_t(asc)};
    write_esds(w, 0x40, false, ByteSpan(bytes), 128000);  // 0x40: audio ISO/IEC 14496-3
    w.end_box(box);
}

void write_mpeg_audio_entry(ByteWriter& w, const mpeg_audio::FrameHeader& config) {
    size_t box = w.begin_box("mp4a");
    write_audio_fields(w, config.channels, config.sample_rate);
    write_esds(w, mpeg_audio::object_type_indication(config), false, ByteSpan(), config.bitrate);
    w.end_box(box);
}

void write_mp4a_entry(ByteWriter& w, ByteSpan audio_specific_config, uint16_t channels, uint32_t sample_rate) {
    size_t box = w.begin_box("mp4a");
    write_audio_fields(w, channels, sample_rate);
    write_esds(w, 0x40, false, audio_specific_config, 128000);
    w.end_box(box);
}

void write_mp4v_entry(ByteWriter& w, uint16_t width, uint16_t height, uint8_t object_type, ByteSpan decoder_config,
                      uint32_t bitrate) {
    size_t box = w.begin_box("mp4v");
    write_visual_fields(w, width, height);
    write_esds(w, object_type, true, decoder_config, bitrate);
    w.end_box(box);
}

void write_ac3_entry(ByteWriter& w, const ac3::FrameHeader& frame) {
    size_t box = w.begin_box("ac-3");
    write_audio_fields(w, ac3::channel_count(frame.acmod, frame.lfeon), frame.sample_rate);
    ac3::write_dac3_box(w, frame);
    w.end_box(box);
}

void write_ec3_entry(ByteWriter& w, const ac3::Eac3Config& config) {
    size_t box = w.begin_box("ec-3");
    write_audio_fields(w, config.channel_count(), config.sample_rate());
    ac3::write_dec3_box(w, config);
    w.end_box(box);
}

}  // namespace morvex
