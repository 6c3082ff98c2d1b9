#include "mp4_writer/moov.h"

#include <algorithm>

#include "common/byte_writer.h"
#include "mp4_writer/movie_boxes.h"

namespace morvex {

uint32_t track_duration(uint64_t delay, uint64_t media_duration_90k) {
    return uint32_t(delay + media_duration_90k);
}

MoovBox build_moov(const MediaData& media, const VideoSamples& samples, const ProgramTiming& timing, bool large) {
    MoovBox moov;
    ByteWriter w{moov.data};
    const bool has_audio = !media.audio_frames.empty();
    moov.data.reserve(1024 + 12 * samples.count() + 4 * media.audio_frames.size());

    // mvhd carries the longest track, empty edits included.
    const uint64_t video_media = uint64_t(timing.video.frame_duration) * samples.count();
    uint32_t movie_duration = track_duration(timing.video_delay, video_media);
    if (has_audio) {
        const uint64_t audio_media =
            uint64_t(media.audio_frames.size()) * timing.audio.frame_duration * kTsClock / timing.audio.timescale;
        movie_duration = std::max(movie_duration, track_duration(timing.audio_delay, audio_media));
    }

    size_t box = w.begin_box("moov");
    write_mvhd(w, kTsClock, movie_duration, has_audio ? 3 : 2);
    write_video_trak(w, media, samples, timing, large, moov.video_chunk_offset_at);
    if (has_audio) {
        size_t at = 0;
        write_audio_trak(w, media, timing, large, at);
        moov.audio_chunk_offset_at = at;
    }
    w.end_box(box);
    return moov;
}

}  // namespace morvex
