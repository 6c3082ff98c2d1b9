"""convert_ts_to_fmp4 as a real decoder sees it, against the source: every
picture, its key flag and its time (relative to the first), the audio frames,
and the fragment layout one moof per group of pictures."""

import io
import struct
from pathlib import Path

import av
import pytest

import morvex

FIXTURES = Path(__file__).parent / "fixtures"


def decoded(data: bytes):
    with av.open(io.BytesIO(data)) as c:
        out = {"audio": 0, "keys": [], "rate": None}
        if c.streams.audio:
            out["rate"] = c.streams.audio[0].codec_context.sample_rate
        for p in c.demux():
            if p.size == 0:
                continue
            if p.stream.type == "video":
                out["keys"].append(p.is_keyframe)
            else:
                out["audio"] += 1
    with av.open(io.BytesIO(data)) as c:
        out["frames"] = sorted(float(f.pts * f.time_base) for f in c.decode(c.streams.video[0]))
    return out


def top_boxes(data: bytes):
    at, out = 0, []
    while at + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[at : at + 8])
        out.append(kind.decode())
        at += size
    assert at == len(data)
    return out


# fixture, audio frames the source's first frames-before-the-first-key-frame leave out
CASES = ["bframes_48k_stereo.ts", "vfr.ts", "gst_nal_pes.ts", "mono_44k.ts", "audio_late.ts", "wrap.ts"]


@pytest.mark.parametrize("name", CASES)
def test_fragmented_output_plays_like_the_source(name):
    source = (FIXTURES / name).read_bytes()
    src = decoded(source)
    out_bytes = morvex.convert_ts_to_fmp4(source)
    out = decoded(out_bytes)
    assert len(out["frames"]) == len(src["frames"])
    rel = lambda ts: [t - ts[0] for t in ts]  # noqa: E731
    assert rel(out["frames"]) == pytest.approx(rel(src["frames"]), abs=0.001)
    assert out["keys"] == src["keys"]
    assert out["rate"] == src["rate"]
    assert out["audio"] == src["audio"]
    # The regular road's file, made from the same movie, shows the same pictures.
    assert rel(decoded(morvex.convert_ts_to_mp4(source))["frames"]) == pytest.approx(rel(out["frames"]), abs=0.001)
    boxes = top_boxes(out_bytes)
    assert boxes[:2] == ["ftyp", "moov"]
    assert boxes[2:] == ["moof", "mdat"] * sum(src["keys"])
