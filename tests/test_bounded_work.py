"""Inputs that claim far more work than their size get an answer in
proportion to their size: a ValueError that names the bound, or a small
result, and no more extra memory than a small multiple of the input."""

from __future__ import annotations

import re
import subprocess
import sys
import textwrap

import pytest

import morvex
from toolkit import crafted, require

KIB = 1024

MP4_ROADS = {
    "defragment_mp4": morvex.defragment_mp4,
    "convert_mp4_reset_timestamps": morvex.convert_mp4_reset_timestamps,
    "reset_mp4_timestamps": morvex.reset_mp4_timestamps,
    "extract_thumbnail_from_mp4": morvex.extract_thumbnail_from_mp4,
    "mux_fmp4_tracks": lambda d: morvex.mux_fmp4_tracks(d, d),
}


def transmux(data: bytes, piece: int = 64 * KIB) -> bytes:
    t = morvex.TransportStreamTransmuxer()
    return b"".join([t.push(data[i:i + piece]) for i in range(0, len(data), piece)] + [t.flush()])


TS_ROADS = {
    "convert_ts_to_mp4": morvex.convert_ts_to_mp4,
    "convert_ts_to_mp4 reset": lambda d: morvex.convert_ts_to_mp4(d, reset_timestamps=True),
    "convert_ts_to_fmp4": morvex.convert_ts_to_fmp4,
    "transmuxer": transmux,
    "extract_thumbnail_from_ts": morvex.extract_thumbnail_from_ts,
}
BOUND = re.compile(r"exceeds the \d+ samples the file can describe|exceeds the file's \d+ bytes")


def outcome(road, data: bytes) -> str:
    try:
        out = road(data)
    except ValueError as e:
        return f"error: {e}"
    assert len(out) <= 8 * len(data) + 64 * KIB, f"{len(out)} bytes from {len(data)}"
    return "bytes"


# Each claims more samples than a file of its size may describe.
MP4_SHAPES = {
    "trun flood": crafted.trun_flood,
    "constant-size traks": crafted.constant_size_traks,
    "one-byte constant-size samples": lambda size: crafted.constant_size_samples(size, 1),
}


@pytest.mark.parametrize("size", [16 * KIB, 64 * KIB])
@pytest.mark.parametrize("shape", MP4_SHAPES, ids=str)
@pytest.mark.parametrize("road", MP4_ROADS, ids=str)
def test_claims_beyond_the_file_are_refused_or_small(road, shape, size):
    result = outcome(MP4_ROADS[road], MP4_SHAPES[shape](size))
    # The reset only patches boxes in place; the combined road falls back to it.
    if road not in ("reset_mp4_timestamps", "convert_mp4_reset_timestamps"):
        assert result.startswith("error:") and BOUND.search(result), result


def test_trun_flood_through_the_segment_processor():
    data = crafted.trun_flood(64 * KIB)
    p = morvex.FragmentedMP4Processor()
    p.set_init_segment(data)
    out = p.process_segment(data)
    assert len(out) <= len(data)


@pytest.mark.parametrize("size", [16 * KIB, 64 * KIB, 1024 * KIB])
@pytest.mark.parametrize("road", TS_ROADS, ids=str)
def test_endless_audio_pes_keeps_what_is_there(road, size, capsys):
    data = crafted.endless_audio_pes(size)
    assert outcome(TS_ROADS[road], data) == "bytes"


@pytest.mark.parametrize("shape", ["idr_slices", "non_idr_slices", "tiny_adts"])
@pytest.mark.parametrize("road", TS_ROADS, ids=str)
def test_a_sample_every_few_bytes_converts(road, shape):
    data = getattr(crafted, shape)(256 * KIB)
    assert outcome(TS_ROADS[road], data) == "bytes"


def test_endless_audio_pes_converts_to_its_one_picture():
    import io

    av = require("av")
    out = morvex.convert_ts_to_mp4(crafted.endless_audio_pes(256 * KIB))
    with av.open(io.BytesIO(out)) as f:
        assert [s.type for s in f.streams] == ["video", "audio"]
        assert sum(1 for _ in f.demux(f.streams.video[0]) if _.size) == 1


PEAK_RSS = """
import sys, morvex
sys.path.insert(0, {root!r})
from toolkit import crafted

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024

data = crafted.{shape}({size})
road = {road}
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:  # VmHWM starts again from VmRSS
    f.write("5")
try:
    out = road(data)
except ValueError:
    out = b""
print(status("VmHWM") - before, len(data), len(out))
"""

@pytest.mark.parametrize("shape, size, road, inputs", [
    ("trun_flood", 64 * KIB, "morvex.defragment_mp4", 1),
    ("trun_flood", 64 * KIB, "morvex.convert_mp4_reset_timestamps", 1),
    ("trun_flood", 64 * KIB, "lambda d: morvex.mux_fmp4_tracks(d, d)", 2),
    ("constant_size_traks", 256 * KIB, "morvex.defragment_mp4", 1),
    ("constant_size_traks", 256 * KIB, "lambda d: morvex.mux_fmp4_tracks(d, d)", 2),
    # as many samples as the file may describe, each a chunk of its own
    ("constant_size_samples", 8 * 1024 * KIB, "morvex.extract_thumbnail_from_mp4", 1),
    ("constant_size_samples", 8 * 1024 * KIB, "morvex.defragment_mp4", 1),
    ("constant_size_samples", 8 * 1024 * KIB, "lambda d: morvex.mux_fmp4_tracks(d, d)", 2),
    ("endless_audio_pes", 64 * KIB, "morvex.convert_ts_to_mp4", 1),
    ("endless_audio_pes", 64 * KIB, "morvex.extract_thumbnail_from_ts", 1),
    ("idr_slices", 8 * 1024 * KIB, "morvex.convert_ts_to_fmp4", 1),
    ("idr_slices", 8 * 1024 * KIB, "morvex.convert_ts_to_mp4", 1),
    ("non_idr_slices", 8 * 1024 * KIB, "morvex.convert_ts_to_fmp4", 1),
    ("tiny_adts", 8 * 1024 * KIB, "morvex.convert_ts_to_fmp4", 1),
])
def test_extra_memory_stays_near_the_input(shape, size, road, inputs):
    from pathlib import Path

    import os

    if os.environ.get("MORVEX_SANITIZE", "").lower() in ("1", "on", "true", "yes"):
        pytest.skip("AddressSanitizer's shadow memory and quarantine are not the module's")
    try:
        open("/proc/self/clear_refs", "w").close()
    except OSError:
        pytest.skip("needs Linux's /proc/self/clear_refs")
    root = str(Path(__file__).resolve().parent)
    code = PEAK_RSS.format(root=root, shape=shape, size=size, road=road)
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    extra, size, out = map(int, run.stdout.split()[-3:])
    # (muxing a file with itself reads it twice)
    assert extra <= 64 * 1024 * KIB + 8 * inputs * size, f"{extra} bytes more for an input of {size}"
