"""Recovery of recordings cut short (recover_mp4), on files FFmpeg and GStreamer made
(tests/toolkit/made.py) and then cut as a killed recorder leaves them: a regular file
without its moov, whose mdat size counts bytes past the cut or is 0 (as FFmpeg leaves
it), and fragmented files cut inside a fragment. PyAV decodes the result: its pictures
are the intact recording's first N, in order, at the same times and with the same key
frames, N at least 95% of the pictures whose bytes lie wholly before the cut; at least
95% of those AAC frames come back, byte for byte, and start with the video; a
fragmented file keeps every whole sample."""

from __future__ import annotations

import hashlib
import io
import random
import struct

import av
import pytest

import morvex
from toolkit import made
from toolkit.mp4 import walk


def packets(data: bytes) -> dict[str, list[av.Packet]]:
    with av.open(io.BytesIO(data)) as c:
        out: dict[str, list] = {"video": [], "audio": []}
        for p in c.demux():
            if p.size:
                out[p.stream.type].append((p.pos, p.size, bytes(p), p.is_keyframe))
        return out


def pictures(data: bytes) -> list[tuple[str, float]]:
    """Each picture PyAV shows: a checksum of its pixels, and its time."""
    with av.open(io.BytesIO(data)) as c:
        return [(hashlib.md5(f.to_ndarray(format="yuv420p").tobytes()).hexdigest(), f.time)
                for f in c.decode(video=0)]


def first_times(data: bytes) -> dict[str, float]:
    times = {}
    with av.open(io.BytesIO(data)) as c:
        for kind, stream in (("video", c.streams.video), ("audio", c.streams.audio)):
            if stream:
                c.seek(0)
                times[kind] = next(c.decode(stream[0])).time
    return times


# The mdat header as a recorder killed before its end leaves it: size 0 (to the end of
# the file, as FFmpeg and GStreamer leave it), or the 64-bit form with largesize 0.
HEADERS = {"size0": struct.pack(">I", 0) + b"mdat", "largesize0": struct.pack(">IIQ", 1, 0x6D646174, 0)}


def with_mdat_header(data: bytes, header: str | None) -> bytes:
    if header is None:
        return data
    at = data.index(b"mdat") - 4  # it follows ftyp and free
    return data[:at] + HEADERS[header] + data[at + 8:]


def mid_fragment(data: bytes) -> int:
    """Halfway into the mdat of the fragment in the middle of the file."""
    mdats = [b for b in walk(data) if b.kind == b"mdat"]
    mdat = mdats[len(mdats) // 2]
    return mdat.offset + mdat.size // 2


# recorder, where it is cut (a fraction of the file, or "mid-fragment"), its mdat header
# (None: as written, its size counting bytes past the cut), whether a reference (2 s of
# the same recorder) is given
CASES = [
    ("ffmpeg-h264", 0.35, None, True),
    ("ffmpeg-h264", 0.80, "size0", True),
    ("ffmpeg-hevc", 0.35, "size0", True),
    ("ffmpeg-hevc", 0.80, None, True),
    ("gst-h264", 0.35, None, True),
    ("gst-h264", 0.80, "largesize0", True),
    ("gst-hevc", 0.35, "size0", True),
    ("gst-hevc", 0.80, None, True),
    ("ffmpeg-fragmented", "mid-fragment", None, False),
    ("ffmpeg-fragmented", 0.35, None, False),
    ("gst-fragmented", "mid-fragment", None, False),
    # SPS and PPS in the samples: the video comes back without a reference.
    ("ffmpeg-in-band", 0.80, "size0", False),
    # A healthy file: every sample.
    ("ffmpeg-h264", 1.0, None, False),
]


@pytest.mark.parametrize("recorder,cut,header,referred", CASES,
                         ids=[f"{c[0]}-{c[1]}{'-' + c[2] if c[2] else ''}" for c in CASES])
def test_recovered_recording_plays_like_the_intact_one(recorder, cut, header, referred):
    intact = made.recording(recorder)
    at = mid_fragment(intact) if cut == "mid-fragment" else int(len(intact) * cut)
    broken = with_mdat_header(intact[:at], header)
    reference = made.recording(recorder, 2) if referred else None
    out = morvex.recover_mp4(broken, reference)

    source, got = packets(intact), packets(out)
    fragmented = "fragmented" in recorder
    for kind in ("video", "audio"):
        whole = [p for p in source[kind] if p[0] + p[1] <= at]
        if kind == "audio" and recorder == "ffmpeg-in-band":
            assert got["audio"] == []  # no AudioSpecificConfig without a reference
            continue
        # Every whole sample of a fragmented file; 95% of the samples of a scanned mdat.
        assert len(got[kind]) >= (len(whole) if fragmented else 0.95 * len(whole)), kind
        assert len(got[kind]) <= len(whole)
        # The same samples in the same order, key frames where the source has them.
        assert [(p[2], p[3]) for p in got[kind]] == [(p[2], p[3]) for p in whole[:len(got[kind])]], kind

    # The pictures, in order and at the source's times (B-frames shown in order).
    expected, shown = pictures(intact), pictures(out)
    n = next((k for k, (a, b) in enumerate(zip(shown, expected)) if a[0] != b[0]), min(len(shown), len(expected)))
    whole_pictures = sum(1 for p in source["video"] if p[0] + p[1] <= at)
    assert n >= 0.95 * whole_pictures
    assert [round(t - shown[0][1], 3) for _, t in shown[:n]] == [round(t - expected[0][1], 3) for _, t in expected[:n]]
    # Audio and video start together, as in the recording.
    if got["audio"]:
        a, b = first_times(out), first_times(intact)
        assert a["audio"] - a["video"] == pytest.approx(b["audio"] - b["video"], abs=0.001)


def garbage(n: int) -> bytes:
    return random.Random(n).randbytes(n)


MDAT_OF_GARBAGE = struct.pack(">I", 0) + b"mdat" + garbage(300_000)

# input, reference, the message
REFUSED = [
    (lambda: b"", None, "No moov or mdat box found: nothing to recover"),
    (lambda: garbage(100_000), None, "No moov or mdat box found: nothing to recover"),
    (lambda: MDAT_OF_GARBAGE, lambda: made.recording("ffmpeg-h264", 2), "No samples could be recovered"),
    (lambda: MDAT_OF_GARBAGE, None, "a reference file from the same recorder is needed"),
    # FFmpeg keeps H.264's parameter sets in the avcC only.
    (lambda: made.recording("ffmpeg-h264")[:100_000], None, "a reference file from the same recorder is needed"),
    (lambda: made.recording("ffmpeg-h264")[:100_000], lambda: garbage(1000), "The reference file has no moov box"),
]


@pytest.mark.parametrize("data,reference,message", REFUSED,
                         ids=["empty", "garbage", "mdat of garbage", "no reference for garbage", "no reference",
                              "reference without moov"])
def test_what_cannot_be_recovered_is_a_value_error(data, reference, message):
    with pytest.raises(ValueError, match=message):
        morvex.recover_mp4(data(), reference() if reference else None)
