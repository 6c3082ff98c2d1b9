#include "mp4_writer/mp4_writer.h"

#include "common/byte_writer.h"
#include "common/mp4_layout.h"
#include "mp4_writer/access_units.h"
#include "mp4_writer/moov.h"
#include "mp4_writer/timeline.h"

namespace morvex {
namespace {

// ftyp (ISO/IEC 14496-12 4.3): isom 512, compatible isom, iso2, mp41.
constexpr uint8_t kFtyp[28] = {0, 0, 0, 28, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0,   0,
                               2, 0, 'i', 's', 'o', 'm', 'i', 's', 'o', '2', 'm', 'p', '4', '1'};

void patch_offset(Bytes& moov, size_t at, uint64_t offset, bool large) {
    ByteWriter w{moov};
    if (large) {
        w.patch_u32(at, uint32_t(offset >> 32));
        w.patch_u32(at + 4, uint32_t(offset));
    } else {
        w.patch_u32(at, uint32_t(offset));
    }
}

}  // namespace

Result<Bytes> create_mp4_with_options(MediaData media, bool /*reset_timestamps: the timeline starts at 0 anyway*/) {
    if (media.video_data.empty()) return fail(ErrorKind::InvalidData, "No video data found");
    const ByteSpan video(media.video_data);

    const VideoSamples samples = cut_video_samples(video);
    const ProgramTiming timing = compute_timing(media, samples);
    uint64_t audio_size = 0;
    for (const auto& frame : media.audio_frames) audio_size += frame.size();
    const uint64_t payload_size = samples.payload_size + audio_size;
    const bool has_audio = !media.audio_frames.empty();

    MoovBox moov = build_moov(media, samples, timing, false);
    const bool large = needs_64bit_layout(sizeof kFtyp + moov.data.size(), payload_size,
                                          has_audio ? samples.payload_size : 0);
    if (large) moov = build_moov(media, samples, timing, true);

    const uint64_t payload_start = sizeof kFtyp + moov.data.size() + mdat_header_size(large);
    patch_offset(moov.data, moov.video_chunk_offset_at, payload_start, large);
    if (moov.audio_chunk_offset_at)
        patch_offset(moov.data, *moov.audio_chunk_offset_at, payload_start + samples.payload_size, large);

    Bytes out;
    out.reserve(size_t(payload_start + payload_size));
    ByteWriter w{out};
    w.bytes(kFtyp);
    w.bytes(moov.data);
    write_mdat_header(w, payload_size, large);
    // Video samples: each NAL unit behind its 4-byte length.
    for (const NalRange& nal : samples.nals) {
        w.u32(uint32_t(nal.size));
        w.bytes(video.subspan(nal.offset, nal.size));
    }
    for (const auto& frame : media.audio_frames) w.bytes(frame);
    return out;
}

}  // namespace morvex
