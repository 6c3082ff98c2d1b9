"""Rewritten MP4 fixtures as a real decoder sees them, against the source: packets with
their timestamps and key flags, decoded frame and audio-frame counts, stream durations,
and a seek to a key frame in the middle."""

import io
from fractions import Fraction
from pathlib import Path

import av
import pytest

import morvex
from toolkit.mp4 import find, track_tables

FIXTURES = Path(__file__).parent / "fixtures"


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


def probe(data: bytes) -> list[dict]:
    """Per stream, in stream order: kind, time base, duration, start time, every packet's
    (pts, dts, key, size), and the number of frames the decoder produces."""
    with av.open(io.BytesIO(data)) as c:
        streams = [{"type": s.type, "time_base": s.time_base, "duration": s.duration, "start": s.start_time,
                    "packets": [], "decoded": 0} for s in c.streams]
        for p in c.demux():
            if p.size:
                streams[p.stream.index]["packets"].append((p.pts, p.dts, p.is_keyframe, p.size))
    for k, info in enumerate(streams):
        with av.open(io.BytesIO(data)) as c:
            info["decoded"] = sum(1 for _ in c.decode(c.streams[k]))
    return streams


def shifted(stream: dict, ticks: int) -> dict:
    return {**stream, "start": stream["start"] - ticks,
            "packets": [(p - ticks, d - ticks, k, n) for p, d, k, n in stream["packets"]]}


def negative_shift(data: bytes, track: int) -> int:
    """With signed composition offsets a reader moves decode times back by the most negative
    offset, so that no frame is presented before it is decoded; fragments get no such shift."""
    ctts = track_tables(data)[track]["ctts"]
    return max([0] + [-offset for _, offset in ctts[1]]) if ctts else 0


def assert_seek_decodes(data: bytes):
    with av.open(io.BytesIO(data)) as c:
        v = c.streams.video[0]
        keys = [p.pts for p in c.demux(v) if p.size and p.is_keyframe]
    assert len(keys) >= 2
    target = keys[len(keys) // 2]
    with av.open(io.BytesIO(data)) as c:
        v = c.streams.video[0]
        c.seek(target, stream=v, backward=True, any_frame=False)
        frame = next(c.decode(v))
        assert frame.pts == target
        assert frame.key_frame


@pytest.mark.parametrize("name", ["av_frag.mp4", "av_frag_negcts.mp4", "video_frag.mp4", "audio_frag.mp4"])
def test_defragmented_file_shows_the_source(name):
    source = fixture(name)
    out = morvex.defragment_mp4(source)
    src, got = probe(source), probe(out)
    assert len(src) == len(got)
    for k, (s, g) in enumerate(zip(src, got)):
        s = shifted(s, negative_shift(out, k))
        assert g == s
        assert g["decoded"] == len(g["packets"]) > 0
    if any(s["type"] == "video" for s in src):
        assert_seek_decodes(out)
    with av.open(io.BytesIO(out)) as c:
        assert [s.frames for s in c.streams] == [len(s["packets"]) for s in src]
    assert find(out, "moov", "mvex") is None


def test_signed_composition_offsets_keep_the_source_order():
    out = morvex.defragment_mp4(fixture("av_frag_negcts.mp4"))
    video = track_tables(out)[0]
    assert video["ctts"][0] == 1
    assert min(offset for _, offset in video["ctts"][1]) < 0
    # key frames: FFmpeg marks them through first_sample_flags and trex/tfhd defaults
    assert video["stss"] and video["stss"][0] == 1


def test_muxed_file_shows_both_sources():
    video, audio = fixture("video_frag.mp4"), fixture("audio_frag.mp4")
    out = morvex.mux_fmp4_tracks(video, audio)
    got = probe(out)
    assert got == probe(video) + probe(audio)
    assert_seek_decodes(out)
    with av.open(io.BytesIO(out)) as c, av.open(io.BytesIO(video)) as v, av.open(io.BytesIO(audio)) as a:
        ends = [s.start_time * s.time_base + s.duration * s.time_base for s in (v.streams[0], a.streams[0])]
        assert Fraction(c.duration, av.time_base) == max(ends)


@pytest.mark.parametrize("name,fn", [
    ("av_frag.mp4", morvex.reset_mp4_timestamps),
    ("av_regular.mp4", morvex.reset_mp4_timestamps),
    ("av_regular.mp4", morvex.convert_mp4_reset_timestamps),
    ("audio_first.mp4", morvex.convert_mp4_reset_timestamps),
])
def test_reset_file_shows_the_source(name, fn):
    source = fixture(name)
    out = fn(source)
    assert len(out) == len(source)
    assert probe(out) == probe(source)
    with av.open(io.BytesIO(out)) as c, av.open(io.BytesIO(source)) as s:
        assert c.duration == s.duration
        assert [x.frames for x in c.streams] == [x.frames for x in s.streams]
    assert_seek_decodes(out)
