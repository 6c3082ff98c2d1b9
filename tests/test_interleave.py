"""Every regular MP4 that morvex writes interleaves its tracks: chunks of
about half a second per track, laid out in decode-time order, so that a
progressive or HTTP player reads audio and video from the same region of the
file instead of seeking between two halves."""

import pytest

import morvex
from toolkit import FIXTURES, hls_concat
from toolkit.mp4 import chunk_layout


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


OUTPUTS = {
    "TS, B-frames": lambda: morvex.convert_ts_to_mp4(fixture("bframes_48k_stereo.ts")),
    "TS, audio 0.5 s late": lambda: morvex.convert_ts_to_mp4(fixture("audio_late.ts")),
    "TS from GStreamer": lambda: morvex.convert_ts_to_mp4(fixture("gst_nal_pes.ts")),
    "defragmented FFmpeg fMP4": lambda: morvex.defragment_mp4(fixture("av_frag.mp4")),
    "defragmented GStreamer fMP4": lambda: morvex.defragment_mp4(fixture("gst_frag.mp4")),
    "defragmented HLS": lambda: morvex.defragment_mp4(hls_concat("hls_vod")),
    "muxed fMP4s": lambda: morvex.mux_fmp4_tracks(fixture("video_frag.mp4"), fixture("audio_frag.mp4")),
    "muxed regular MP4s": lambda: morvex.mux_fmp4_tracks(fixture("gst_video.mp4"), fixture("gst_audio.mp4")),
}

LONGEST_CHUNK = 1.0  # seconds; the writer aims at about 0.5
SLACK = 0.75         # how far a chunk may start before one laid out ahead of it


@pytest.mark.parametrize("make", OUTPUTS.values(), ids=OUTPUTS.keys())
def test_chunks_interleave_in_decode_order(make):
    tracks = chunk_layout(make())
    assert sorted(t["handler"] for t in tracks) == [b"soun", b"vide"]
    for t in tracks:
        starts = [time for _, time in t["chunks"]] + [t["duration"]]
        spans = [b - a for a, b in zip(starts, starts[1:])]
        assert len(t["chunks"]) >= 2 and max(spans) <= LONGEST_CHUNK, (t["handler"], spans)
    in_file = sorted((offset, time, t["handler"]) for t in tracks for offset, time in t["chunks"])
    latest = 0.0
    for offset, time, handler in in_file:
        assert time >= latest - SLACK, f"{handler} chunk of {time:.2f} s at byte {offset} after one of {latest:.2f} s"
        latest = max(latest, time)
