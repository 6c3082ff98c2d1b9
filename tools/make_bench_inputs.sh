#!/usr/bin/env bash
# Makes the inputs of bench/bench_all.py from FFmpeg's synthetic sources
# (testsrc2 pictures, a sine tone). They are large and not committed.
#   tools/make_bench_inputs.sh [DIR]      default: bench/inputs
#   QUICK=1 tools/make_bench_inputs.sh    skips the 200 MB transport stream
#
# DIR/main.ts         ~100 MB: 720p30 H.264 with B-frames (2 s GOPs), AAC 48 kHz stereo
# DIR/main_frag.mp4   main.ts remuxed to fragmented MP4 (one fragment per key frame)
# DIR/main.mp4        main.ts remuxed to a regular MP4 (for the MP4 key frame job)
# DIR/video_frag.mp4  video track of main.ts alone, fragmented
# DIR/audio_frag.mp4  audio track of main.ts alone, fragmented
# DIR/hls/            init.mp4 and ~2 s fMP4 segments seg0.m4s ... of main.ts
# DIR/ts_10.ts, DIR/ts_200.ts   ~10 MB and ~200 MB variants of main.ts
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/bench/inputs}"
mkdir -p "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# About 10 Mbit/s of video and 128 kbit/s of audio: 1.31 MB of TS per
# second of media, so 76 s make about 100 MB and 153 s about 200 MB.
encode_ts() { # SECONDS OUT
    ff -f lavfi -i "testsrc2=size=1280x720:rate=30:duration=$1" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$1" \
        -c:v libx264 -preset ultrafast -b:v 10M -maxrate 10M -bufsize 10M \
        -bf 2 -g 60 -pix_fmt yuv420p \
        -c:a aac -b:a 128k -ar 48000 -ac 2 \
        -f mpegts "$2"
}

# With empty_moov the header is written before the first packet, so FFmpeg
# does not insert the ADTS-to-AudioSpecificConfig filter by itself.
frag_v=(-movflags frag_keyframe+empty_moov+default_base_moof)
frag=(-bsf:a aac_adtstoasc "${frag_v[@]}")

echo "encoding $out/main.ts"
encode_ts 76 "$out/main.ts"
ff -i "$out/main.ts" -c copy "${frag[@]}" "$out/main_frag.mp4"
ff -i "$out/main.ts" -c copy "$out/main.mp4"
ff -i "$out/main.ts" -map 0:v -c copy "${frag_v[@]}" "$out/video_frag.mp4"
ff -i "$out/main.ts" -map 0:a -c copy "${frag[@]}" "$out/audio_frag.mp4"

rm -rf "$out/hls"
mkdir -p "$out/hls"
ff -i "$out/main.ts" -c copy -bsf:a aac_adtstoasc -f hls -hls_time 2 -hls_playlist_type vod \
    -hls_segment_type fmp4 -hls_fmp4_init_filename init.mp4 \
    -hls_segment_filename "$out/hls/seg%d.m4s" "$out/hls/stream.m3u8"

echo "encoding $out/ts_10.ts"
encode_ts 7.4 "$out/ts_10.ts"
if [[ -z "${QUICK:-}" ]]; then
    echo "encoding $out/ts_200.ts"
    encode_ts 153 "$out/ts_200.ts"
fi

ls -l "$out" | sed 1d
echo "hls: $(ls "$out/hls" | grep -c '\.m4s$') segments"
