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

# --- real-world timing: variable frame rate, odd PES layouts, lost audio ----
# 30 fps pictures with three dropped, then a 1 s hole, then every other
# picture (15 fps); B-frames; 4 s of AAC.
block_vfr() {
    ff -f lavfi -i "testsrc2=size=320x240:rate=30:duration=3" -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" -ac 2 \
        -vf "setpts=PTS+gte(N\,45)/TB,select='if(lt(n\,45)\,not(eq(n\,10)+eq(n\,11)+eq(n\,17))\,not(mod(n\,2)))'" \
        -fps_mode vfr -c:v libx264 -preset veryfast -crf 36 -pix_fmt yuv420p -g 30 -bf 2 \
        -c:a aac -b:a 48k -f mpegts "$out/vfr.ts"
}

# FFmpeg's streams re-packetised by the test toolkit (tests/toolkit/repack.py):
# 2-3 pictures per video PES with only the first one's PTS, from mono_44k.ts;
# and 0.5 s of ADTS frames dropped (four frames a PES), from
# bframes_48k_stereo.ts. Run after block_ts.
block_repack() {
    local py=(env PYTHONPATH=tests python3 -m toolkit.repack)
    "${py[@]}" group "$out/mono_44k.ts" "$out/multi_au_pes.ts"
    "${py[@]}" audio_gap "$out/bframes_48k_stereo.ts" "$out/audio_gap.ts" 0.8 0.5
}

# --- GStreamer-made files ---------------------------------------------------
# mpegtsmux fed NAL-aligned H.264 writes one PES per NAL unit, each with the
# PTS/DTS of its picture; mp4mux with fragment-duration writes moov (empty
# sample tables, mvex), moof/mdat pairs and mfra; plain mp4mux writes
# mdat before moov.
block_gst() {
    local gst=(gst-launch-1.0 -q)
    local v=(videotestsrc num-buffers=50 ! video/x-raw,width=320,height=240,framerate=25/1
             ! x264enc bitrate=150 key-int-max=25 bframes=2 speed-preset=veryfast ! h264parse)
    local a=(audiotestsrc num-buffers=94 samplesperbuffer=1024 wave=sine ! audio/x-raw,rate=48000,channels=2
             ! voaacenc bitrate=48000 ! aacparse)
    "${gst[@]}" "${v[@]}" ! video/x-h264,alignment=nal,stream-format=byte-stream ! queue ! mux. \
        "${a[@]}" ! queue ! mux. mpegtsmux name=mux ! filesink location="$out/gst_nal_pes.ts"
    "${gst[@]}" "${v[@]}" ! queue ! mux. "${a[@]}" ! queue ! mux. \
        mp4mux name=mux fragment-duration=500 ! filesink location="$out/gst_frag.mp4"
    "${gst[@]}" "${v[@]}" ! mp4mux ! filesink location="$out/gst_video.mp4"
    "${gst[@]}" "${a[@]}" ! mp4mux ! filesink location="$out/gst_audio.mp4"
}

# --- more FFmpeg MP4 layouts --------------------------------------------------
# Regular single-track files, and a fragmented file without empty_moov, whose
# moov holds the samples up to the second key frame.
block_mp4_more() {
    ff "${video_src[@]}" "${x264[@]}" -bf 2 "$out/video_regular.mp4"
    ff -f lavfi -i "$(tone 48000)" -ac 2 -c:a aac -b:a 64k "$out/audio_regular.mp4"
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -bf 2 \
        -c:a aac -b:a 64k -movflags frag_keyframe "$out/av_frag_moov.mp4"
}

# HLS fMP4 of a stream starting at 0: both init traks carry an edit whose
# segment_duration is 0 (the video's after a short empty edit).
block_hls_vod() {
    local dir="$out/hls_vod"
    mkdir -p "$dir"
    rm -f "$dir"/*
    ff "${video_src[@]}" -f lavfi -i "$(tone 48000)" -ac 2 "${x264[@]}" -g 12 -bf 0 \
        -c:a aac -b:a 64k -f hls -hls_time 0.5 -hls_playlist_type vod -hls_segment_type fmp4 \
        -hls_fmp4_init_filename init.mp4 -hls_segment_filename "$dir/seg%d.m4s" "$dir/stream.m3u8"
}

# --- transport streams as broadcast, capture and HLS produce them ------------
# 1 s streams: MP3 (MPEG-1 Layer III, 44.1 kHz, stream type 0x03), MP2 at
# 24 kHz (MPEG-2 Layer II, stream type 0x04), AC-3 (stream type 0x81), HEVC
# (stream type 0x24), a 640x360 recording to join behind a 320x240 one, and
# two HLS transport-stream renditions (the second's clock starts at 1000 s)
# whose segments are joined across the discontinuity. bframes_48k_stereo.ts
# cut by time with a stream copy that keeps the pictures in front of the
# first key frame (-copyinkf). Run after block_ts.
block_ts_real() {
    local short=(-f lavfi -i "testsrc2=size=320x240:rate=25:duration=1")
    local tone1="sine=frequency=440:sample_rate=48000:duration=1"
    ff "${short[@]}" -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=1" -ac 2 "${x264[@]}" -bf 2 \
        -c:a libmp3lame -b:a 64k -f mpegts "$out/mp3_audio.ts"
    ff "${short[@]}" -f lavfi -i "sine=frequency=440:sample_rate=24000:duration=1" -ac 1 "${x264[@]}" -bf 0 \
        -c:a mp2 -b:a 48k -f mpegts "$out/mp2_audio.ts"
    ff "${short[@]}" -f lavfi -i "$tone1" -ac 2 "${x264[@]}" -bf 0 \
        -c:a ac3 -b:a 64k -f mpegts "$out/ac3_audio.ts"
    ff "${short[@]}" -c:v libx265 -preset veryfast -crf 36 -pix_fmt yuv420p -g 25 \
        -x265-params log-level=error -f mpegts "$out/hevc.ts"
    ff -f lavfi -i "testsrc2=size=640x360:rate=25:duration=1" -f lavfi -i "$tone1" -ac 2 "${x264[@]}" -bf 2 \
        -c:a aac -b:a 64k -f mpegts "$out/size640.ts"
    local name offset
    for name in a b; do
        offset=0; [ $name = b ] && offset=1000
        mkdir -p "$out/hls_ts_$name"
        rm -f "$out/hls_ts_$name"/*
        ff "${short[@]}" -f lavfi -i "$tone1" -ac 2 "${x264[@]}" -g 12 -bf 0 \
            -c:a aac -b:a 64k -output_ts_offset $offset \
            -f hls -hls_time 0.5 -hls_playlist_type vod -hls_segment_type mpegts \
            -hls_segment_filename "$out/hls_ts_$name/seg%d.ts" "$out/hls_ts_$name/stream.m3u8"
    done
    ff -i "$out/bframes_48k_stereo.ts" -ss 0.5 -c copy -copyinkf -f mpegts "$out/cut_by_time.ts"
}

# --- HEVC video, AC-3 and E-AC-3 audio ---------------------------------------
# Kept small (1 s of 160x90): HEVC with x265's B-frames and a key frame every
# 12 pictures beside AAC, its 90 lines coded as 96 behind a conformance
# window; the same video as fragmented MP4 with the hvc1 sample entry;
# H.264 beside E-AC-3 5.1 (acmod 7 with the LFE). H.264 beside AC-3 stereo
# is ac3_audio.ts of block ts_real.
block_hevc_ac3() {
    local small=(-f lavfi -i "testsrc2=size=160x90:rate=25:duration=1")
    local tone1="sine=frequency=440:sample_rate=48000:duration=1"
    local x265=(-c:v libx265 -preset ultrafast -crf 36 -pix_fmt yuv420p -x265-params keyint=12:log-level=error)
    ff "${small[@]}" -f lavfi -i "$tone1" -ac 2 "${x265[@]}" \
        -c:a aac -b:a 32k -f mpegts "$out/hevc_aac.ts"
    ff "${small[@]}" "${x265[@]}" -tag:v hvc1 \
        -movflags frag_keyframe+empty_moov+default_base_moof "$out/hevc_frag.mp4"
    ff "${small[@]}" -f lavfi -i "$tone1" -ac 6 "${x264[@]}" -bf 2 \
        -c:a eac3 -b:a 96k -f mpegts "$out/h264_eac3.ts"
}

# --- transport streams as broadcast sends them -------------------------------
# 1 s of 160x90: MPEG-2 video with B-frames beside MP2 (stream type 0x02, a
# DVB SD channel), and H.264 beside AAC in LATM/LOAS (stream type 0x11, DVB-T2
# audio).
block_broadcast() {
    local small=(-f lavfi -i "testsrc2=size=160x90:rate=25:duration=1")
    local tone1="sine=frequency=440:sample_rate=48000:duration=1"
    ff "${small[@]}" -f lavfi -i "$tone1" -ac 2 -c:v mpeg2video -g 12 -bf 2 -q:v 12 \
        -c:a mp2 -b:a 64k -f mpegts "$out/mpeg2_video.ts"
    ff "${small[@]}" -f lavfi -i "$tone1" -ac 2 "${x264[@]}" -bf 2 \
        -c:a aac -b:a 32k -mpegts_flags latm -f mpegts "$out/latm_audio.ts"
}

blocks=("$@")
[ ${#blocks[@]} -gt 0 ] || blocks=(ts fmp4 hls hls_live vfr repack gst mp4_more hls_vod ts_real hevc_ac3 broadcast)
for b in "${blocks[@]}"; do "block_$b"; done
