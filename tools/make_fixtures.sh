#!/usr/bin/env bash
# Regenerates the small real media files under tests/fixtures/ and the sample
# under examples/ from FFmpeg's synthetic sources (testsrc2 pictures, sine
# tones). The outputs are committed; run this only to change them.
#   tools/make_fixtures.sh            all blocks
#   tools/make_fixtures.sh NAME...    only the named blocks
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/fixtures
mkdir -p "$out" "$out/hls" examples

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# 2 s of 320x240 test pattern at 25 fps and a 2 s sine tone.
video_src=(-f lavfi -i "testsrc2=size=320x240:rate=25:duration=2")
tone() { echo "sine=frequency=${2:-440}:sample_rate=$1:duration=2"; }
x264=(-c:v libx264 -preset veryfast -crf 32 -pix_fmt yuv420p -g 25)

block_ts() {
    # H.264 with B-frames, AAC 48 kHz stereo.
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 2 \
        -c:a aac -b:a 64k -f mpegts "$out/bframes_48k_stereo.ts"
    # AAC 44.1 kHz mono, no B-frames.
    ff "${video_src[@]}" -f lavfi -i "$(tone 44100 660)" -ac 1 "${x264[@]}" -bf 0 \
        -c:a aac -b:a 48k -f mpegts "$out/mono_44k.ts"
    # Interlaced (field-coded MB pairs): 240 lines are coded as 256 and cropped.
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 0 \
        -flags +ildct+ilme -x264-params interlaced=1:tff=1 \
        -c:a aac -b:a 64k -f mpegts "$out/interlaced.ts"
    # Video only.
    ff "${video_src[@]}" "${x264[@]}" -bf 2 -f mpegts "$out/video_only.ts"
    # Audio starting 0.5 s after the video.
    ff "${video_src[@]}" -itsoffset 0.5 -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 0 \
        -c:a aac -b:a 64k -f mpegts "$out/audio_late.ts"
    # IDR pictures coded as four slices.
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 0 \
        -x264-params slices=4 -c:a aac -b:a 64k -f mpegts "$out/slices4.ts"
    # Timestamps crossing the 33-bit wrap of the 90 kHz clock (2^33 / 90000 s).
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 2 \
        -c:a aac -b:a 64k -output_ts_offset 95441.5 -f mpegts "$out/wrap.ts"
    # The sample of the README.
    cp "$out/bframes_48k_stereo.ts" examples/sample.ts
}

block_fmp4() {
    local frag=(-movflags frag_keyframe+empty_moov+default_base_moof)
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 0 \
        -c:a aac -b:a 64k "${frag[@]}" "$out/av_frag.mp4"
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 2 \
        -c:a aac -b:a 64k -movflags frag_keyframe+empty_moov+default_base_moof+negative_cts_offsets \
        "$out/av_frag_negcts.mp4"
    ff "${video_src[@]}" "${x264[@]}" -bf 2 "${frag[@]}" "$out/video_frag.mp4"
    ff -f lavfi -i "$(tone 48000)" -ac 2 -c:a aac -b:a 64k "${frag[@]}" "$out/audio_frag.mp4"
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 2 \
        -c:a aac -b:a 64k "$out/av_regular.mp4"
    # Regular MP4 whose first track, and first chunk in mdat, is audio.
    ff -f lavfi -i "$(tone 48000)" "${video_src[@]}" -map 0:a -map 1:v -ac 2 "${x264[@]}" -bf 0 \
        -c:a aac -b:a 64k "$out/audio_first.mp4"
}

block_hls() {
    # HLS fMP4 segments of a live stream that started 1000 s in.
    rm -f "$out"/hls/*
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -g 12 -bf 0 \
        -c:a aac -b:a 64k -output_ts_offset 1000 \
        -f hls -hls_time 0.5 -hls_playlist_type vod -hls_segment_type fmp4 \
        -hls_fmp4_init_filename init.mp4 -hls_segment_filename "$out/hls/seg%d.m4s" \
        "$out/hls/stream.m3u8"
}

# --- live fMP4 segments (segment rebasing) ---------------------------------
# HLS fMP4 segments whose decode times carry the clock of a live source that
# has run 1000 s: -copyts keeps the offset and frag_discont writes it into the
# tfdt boxes. Video at 12800 Hz, audio at 48000 Hz; the tone is delayed by one
# video frame so that its first decode time (after the AAC priming) still lies
# after the video's.
block_hls_live() {
    local dir="$out/hls_live"
    mkdir -p "$dir"
    rm -f "$dir"/*
    ff "${video_src[@]}" -itsoffset 0.04 -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -g 12 -bf 0 \
        -c:a aac -b:a 64k -output_ts_offset 1000 -copyts \
        -f hls -hls_time 0.5 -hls_playlist_type vod -hls_segment_type fmp4 \
        -hls_segment_options movflags=+frag_discont \
        -hls_fmp4_init_filename init.mp4 -hls_segment_filename "$dir/seg%d.m4s" \
        "$dir/stream.m3u8"
}

blocks=("$@")
[ ${#blocks[@]} -gt 0 ] || blocks=(ts fmp4 hls hls_live)
for b in "${blocks[@]}"; do "block_$b"; done
