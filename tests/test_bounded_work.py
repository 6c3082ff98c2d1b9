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


@pytest.mark.parametrize("size", [16 * KIB, 32 * KIB, 64 * KIB])
@pytest.mark.parametrize("road", MP4_ROADS, ids=str)
def test_trun_flood_is_refused_or_small(road, size):
    result = outcome(MP4_ROADS[road], crafted.trun_flood(size))
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
MIB = 1024 * KIB


@pytest.mark.parametrize("shape, road, size", [
    ("trun_flood", "morvex.defragment_mp4", 64 * KIB),
    ("trun_flood", "morvex.convert_mp4_reset_timestamps", 64 * KIB),
    ("trun_flood", "lambda d: morvex.mux_fmp4_tracks(d, d)", 64 * KIB),
    ("endless_audio_pes", "morvex.convert_ts_to_mp4", 64 * KIB),
    ("endless_audio_pes", "morvex.extract_thumbnail_from_ts", 64 * KIB),
    ("idr_slices", "morvex.convert_ts_to_fmp4", 8 * MIB),
    ("idr_slices", "morvex.convert_ts_to_mp4", 8 * MIB),
    ("non_idr_slices", "morvex.convert_ts_to_fmp4", 8 * MIB),
    ("tiny_adts", "morvex.convert_ts_to_fmp4", 8 * MIB),
])
def test_extra_memory_stays_near_the_input(shape, road, size):
    import os
    from pathlib import Path

    if size > 64 * KIB and os.environ.get("MORVEX_SANITIZE"):
        pytest.skip("AddressSanitizer's redzones and quarantine multiply the memory of many small allocations")

    try:
        open("/proc/self/clear_refs", "w").close()
    except OSError:
        pytest.skip("needs Linux's /proc/self/clear_refs")
    root = str(Path(__file__).resolve().parent)
    code = PEAK_RSS.format(root=root, shape=shape, size=size, road=road)
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    extra, size, out = map(int, run.stdout.split()[-3:])
    assert extra <= 64 * 1024 * KIB + 8 * size, f"{extra} bytes more for an input of {size}"
