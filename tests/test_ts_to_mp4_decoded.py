"""Converted transport streams as a real decoder sees them, against the source."""

import io
from pathlib import Path

import av
import pytest

import morvex

FIXTURES = Path(__file__).parent / "fixtures"


def probe(data: bytes):
    """What PyAV sees: per stream its parameters, start time and frames."""
    with av.open(io.BytesIO(data)) as c:
        streams = {}
        for s in c.streams:
            cc = s.codec_context
            streams[s.type] = {
                "codec": cc.name,
                "size": (cc.width, cc.height) if s.type == "video" else None,
                "rate": cc.sample_rate if s.type == "audio" else None,
                "channels": cc.channels if s.type == "audio" else None,
                "start": float(s.start_time * s.time_base) if s.start_time is not None else None,
                "packets": 0,
                "keys": [],
            }
        for p in c.demux():
            if p.size == 0:
                continue
            info = streams[p.stream.type]
            if p.stream.type == "video":
                info["keys"].append(p.is_keyframe)
            info["packets"] += 1
    with av.open(io.BytesIO(data)) as c:
        v = c.streams.video[0]
        times = [float(f.pts * f.time_base) for f in c.decode(v)]
        streams["video"]["frames"] = times
    return streams


CASES = [
    # fixture, expected audio (rate, channels) or None
    ("bframes_48k_stereo.ts", (48000, 2)),
    ("mono_44k.ts", (44100, 1)),
    ("interlaced.ts", (48000, 2)),
    ("video_only.ts", None),
    ("audio_late.ts", (48000, 2)),
    ("slices4.ts", (48000, 2)),
    ("wrap.ts", (48000, 2)),
]


@pytest.mark.parametrize("name,audio", CASES, ids=[c[0] for c in CASES])
def test_decoder_sees_the_source(name, audio):
    source = (FIXTURES / name).read_bytes()
    src = probe(source)
    out = probe(morvex.convert_ts_to_mp4(source))

    assert set(out) == set(src)
    sv, ov = src["video"], out["video"]
    assert ov["codec"] == "h264"
    assert ov["size"] == sv["size"] == (320, 240)
    assert ov["packets"] == sv["packets"]
    assert len(ov["frames"]) == len(sv["frames"])
    # Key frames are marked on the same pictures, in decode order.
    assert ov["keys"] == sv["keys"]
    # Every picture keeps its presentation time relative to the first.
    s0, o0 = sv["frames"][0], ov["frames"][0]
    for s, o in zip(sv["frames"], ov["frames"]):
        assert o - o0 == pytest.approx(s - s0, abs=0.001)

    if audio is None:
        return
    sa, oa = src["audio"], out["audio"]
    assert (oa["rate"], oa["channels"]) == (sa["rate"], sa["channels"]) == audio
    assert oa["packets"] == sa["packets"]
    # A/V sync: the offset between the two streams' starts is kept.
    assert oa["start"] - ov["start"] == pytest.approx(sa["start"] - sv["start"], abs=0.001)
    # The earlier stream starts the file.
    assert min(oa["start"], ov["start"]) == pytest.approx(0, abs=0.001)


@pytest.mark.parametrize("name", ["bframes_48k_stereo.ts", "wrap.ts"])
def test_seek_lands_on_a_key_frame(name):
    out = morvex.convert_ts_to_mp4((FIXTURES / name).read_bytes())
    with av.open(io.BytesIO(out)) as c:
        v = c.streams.video[0]
        start = float(v.start_time * v.time_base)
        # The fixtures have a key frame every second (25 pictures).
        c.seek(int((start + 1.5) / v.time_base), stream=v, backward=True, any_frame=False)
        frame = next(c.decode(v))
        assert frame.key_frame
        assert float(frame.pts * frame.time_base) - start == pytest.approx(1.0, abs=0.001)


def test_reset_flag_changes_nothing():
    source = (FIXTURES / "bframes_48k_stereo.ts").read_bytes()
    assert morvex.convert_ts_to_mp4(source, True) == morvex.convert_ts_to_mp4(source, reset_timestamps=False)


def test_video_only_report_names_no_audio(capfd):
    morvex.convert_ts_to_mp4((FIXTURES / "video_only.ts").read_bytes())
    lines = capfd.readouterr().out.splitlines()
    assert lines[0] == "Found PIDs - Video: 256, Audio: none"
    assert lines[1] == "Total audio frames collected: 0"
