"""probe, clip and concat over any input, as a real decoder sees the
results: probe agrees with PyAV's view of each fixture; a clip's first
picture is the source's picture at the key frame (or at the start, exact)
and it lasts what was asked; parts made by FFmpeg and GStreamer, whose
timestamps restart, join with every picture and no gap."""

import hashlib
import io

import av
import pytest

import morvex
from toolkit import FIXTURES


def picture_sum(frame) -> str:
    return hashlib.md5(b"".join(bytes(p) for p in frame.planes)).hexdigest()


def streams(data: bytes) -> dict:
    """PyAV's view: per kind, the stream's facts and each frame's time (and
    a checksum of each picture)."""
    out = {}
    with av.open(io.BytesIO(data)) as c:
        for s in c.streams:
            if s.type in out:
                continue
            out[s.type] = {"codec": s.codec_context.name, "start": float(s.start_time * s.time_base),
                           "width": getattr(s.codec_context, "width", 0),
                           "height": getattr(s.codec_context, "height", 0),
                           "rate": getattr(s.codec_context, "sample_rate", 0),
                           "channels": getattr(s.codec_context, "channels", 0)}
    for kind in out:
        with av.open(io.BytesIO(data)) as c:
            s = next(x for x in c.streams if x.type == kind)
            keys = [p.is_keyframe for p in c.demux(s) if p.size]
        with av.open(io.BytesIO(data)) as c:
            s = next(x for x in c.streams if x.type == kind)
            frames = [(float(f.pts * f.time_base), picture_sum(f) if kind == "video" else "") for f in c.decode(s)]
        out[kind].update(keys=sum(keys), packets=len(keys), frames=sorted(frames))
    return out


MP4S = ["av_regular.mp4", "av_frag.mp4", "av_frag_negcts.mp4", "gst_video.mp4", "gst_frag.mp4", "hevc_frag.mp4",
        "audio_regular.mp4"]
TSS = ["bframes_48k_stereo.ts", "gst_nal_pes.ts", "hevc_aac.ts", "mpeg2_video.ts", "latm_audio.ts", "h264_eac3.ts",
       "mono_44k.ts"]


@pytest.mark.parametrize("name", MP4S + TSS)
def test_probe_agrees_with_pyav(name):
    data = (FIXTURES / name).read_bytes()
    facts = morvex.probe(data)
    seen = streams(data)
    assert facts["format"] == ("mpegts" if name.endswith(".ts") else "fmp4" if "frag" in name else "mp4")
    assert {t["kind"] for t in facts["tracks"]} == set(seen)
    for t in facts["tracks"]:
        s = seen[t["kind"]]
        # FFmpeg names LATM by its framing; the track written is AAC.
        assert t["codec"] == s["codec"].replace("aac_latm", "aac")
        assert t["frames"] == s["packets"] and t["key_frames"] == s["keys"]
        # FFmpeg reads a fragment's signed composition offsets a frame later.
        assert t["start_time"] == pytest.approx(s["start"], abs=0.041)
        if t["kind"] == "video":
            assert (t["width"], t["height"]) == (s["width"], s["height"])
            assert t["codec_string"].startswith(("avc1.", "avc3.", "hvc1.", "hev1.", "mp4v.61"))
        else:
            assert (t["sample_rate"], t["channels"]) == (s["rate"], s["channels"])
            assert t["codec_string"] in ("mp4a.40.2", "mp4a.6B", "ec-3")
    assert facts["duration"] >= max(t["duration"] for t in facts["tracks"])


@pytest.mark.parametrize("data, message", [
    (b"", "empty"),
    (b"\x00" * 300, "moov box not found"),
    ((FIXTURES / "av_regular.mp4").read_bytes()[:3000], "exceeds available data"),
], ids=["empty", "garbage", "moov cut off"])
def test_probe_refuses_what_no_reader_takes(data, message):
    with pytest.raises(ValueError, match=message):
        morvex.probe(data)


CLIPS = [  # source, start, end, exact
    ("av_regular.mp4", 0.5, 1.5, False),
    ("av_regular.mp4", 0.5, 1.5, True),
    ("hevc_frag.mp4", 0.1, None, True),
    ("gst_frag.mp4", 0.3, 1.0, False),
    ("bframes_48k_stereo.ts", 0.5, 1.5, True),
    ("mpeg2_video.ts", 0.3, None, False),
    # A second without pictures: the last one before the end stays on screen.
    ("vfr.ts", 1.0, 2.5, True),
]


@pytest.mark.parametrize("name, start, end, exact", CLIPS)
def test_clip_shows_the_source_from_its_key_frame_or_its_start(name, start, end, exact):
    data = (FIXTURES / name).read_bytes()
    seen = streams(data)
    source = seen["video"]["frames"]
    # 0 is the first sample the input shows, of any track.
    first_shown = min(s["frames"][0][0] for s in seen.values())
    out = morvex.clip(data, start, end, exact=exact)
    clip = streams(out)
    pictures = clip["video"]["frames"]
    assert min(s["frames"][0][0] for s in clip.values()) == pytest.approx(0, abs=0.001)
    times = [t - first_shown for t, _ in source]
    if exact:
        # The picture on screen at `start` comes first.
        at = max(i for i, t in enumerate(times) if t <= start + 1e-6)
    else:
        key_times = [t for t, h in source if t - first_shown <= start]
        at = 0 if not key_times else max(i for i, t in enumerate(times) if t <= start)
        at = max(i for i, (t, h) in enumerate(source) if i <= at and source_is_key(data, i))
    assert pictures[0][1] == source[at][1]
    # Then the source's pictures, in order, up to the end.
    hashes = [h for _, h in source]
    assert [h for _, h in pictures] == hashes[at:at + len(pictures)]
    # Exact: shown for end - start from the picture on screen at start.
    until = end if not exact or end is None else times[at] + end - start - 1e-6
    last = len(source) if end is None else max(i for i, t in enumerate(times) if t < until) + 1
    assert at + len(pictures) == last
    if exact and end is not None:
        with av.open(io.BytesIO(out)) as c:
            assert c.duration / 1e6 == pytest.approx(end - start, abs=0.03)
    assert "audio" not in streams(data) or clip["audio"]["frames"]


def source_is_key(data: bytes, index: int) -> bool:
    with av.open(io.BytesIO(data)) as c:
        packets = sorted((p for p in c.demux(video=0) if p.size), key=lambda p: p.pts)
    return packets[index].is_keyframe


@pytest.mark.parametrize("start, end, message", [
    (-1, None, "negative"), (1.0, 1.0, "not after its start"), (2.5, None, "past the end"),
])
def test_clip_refuses_a_range_outside_the_input(start, end, message):
    with pytest.raises(ValueError, match=message):
        morvex.clip((FIXTURES / "av_regular.mp4").read_bytes(), start, end)


JOINS = {
    "FFmpeg parts": ["av_regular.mp4", "av_frag.mp4", "av_regular.mp4"],
    "GStreamer parts": ["gst_frag.mp4", "gst_frag.mp4"],
    "HEVC fragments": ["hevc_frag.mp4", "hevc_frag.mp4"],
    "TS from FFmpeg and GStreamer, and an fMP4": ["bframes_48k_stereo.ts", "gst_nal_pes.ts", "av_frag.mp4"],
    "MPEG-2 TS parts": ["mpeg2_video.ts", "mpeg2_video.ts"],
}


@pytest.mark.parametrize("names", JOINS.values(), ids=JOINS.keys())
def test_concat_keeps_every_picture_without_a_gap(names):
    parts = [(FIXTURES / n).read_bytes() for n in names]
    out = morvex.concat(parts)
    joined = streams(out)
    sources = [streams(p) for p in parts]
    pictures = joined["video"]["frames"]
    assert [h for _, h in pictures] == [h for s in sources for _, h in s["video"]["frames"]]
    # Each part's pictures keep their own times, the part's first one frame
    # after the last part's last.
    step = sources[0]["video"]["frames"][1][0] - sources[0]["video"]["frames"][0][0]
    expected = []
    for s in sources:
        times = [t for t, _ in s["video"]["frames"]]
        shift = expected[-1] + step - times[0] if expected else pictures[0][0] - times[0]
        expected += [t + shift for t in times]
    assert [t for t, _ in pictures] == pytest.approx(expected, abs=0.002)
    if "audio" in joined:
        frames = len(joined["audio"]["frames"])
        total = sum(len(s["audio"]["frames"]) for s in sources)
        assert total - 2 * len(parts) <= frames <= total


def test_concat_refuses_mixed_codecs_and_bad_parts():
    regular, hevc = (FIXTURES / "av_regular.mp4").read_bytes(), (FIXTURES / "hevc_frag.mp4").read_bytes()
    with pytest.raises(ValueError, match="Part 1 holds hevc where part 0 holds h264"):
        morvex.concat([regular, hevc])
    with pytest.raises(ValueError, match="Part 1: "):
        morvex.concat([regular, b"\x00" * 100])
    with pytest.raises(ValueError, match="no parts"):
        morvex.concat([])
