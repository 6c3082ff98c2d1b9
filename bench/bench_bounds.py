"""Time and peak memory of the crafted inputs that once cost far more than
their size (not a test; the tests check the outcome, this measures it).

    python bench/bench_bounds.py [--reps N]

For each shape (tests/toolkit/crafted.py) and size, each road runs in a
fresh process: the minimum time of --reps calls, the peak RSS of one call
beyond the RSS with the input built (VmHWM after clear_refs), and the time
per MB, which stays flat when the work is linear in the input.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

MB = 1 << 20
SHAPES = {
    "trun_flood": ([16 << 10, 32 << 10, 64 << 10, 1 << 20], [
        "morvex.defragment_mp4", "morvex.convert_mp4_reset_timestamps",
        "morvex.reset_mp4_timestamps", "lambda d: morvex.mux_fmp4_tracks(d, d)",
        "morvex.extract_thumbnail_from_mp4"]),
    "constant_size_traks": ([64 << 10, 256 << 10, 1 * MB, 8 * MB], [
        "morvex.defragment_mp4", "morvex.convert_mp4_reset_timestamps",
        "lambda d: morvex.mux_fmp4_tracks(d, d)"]),
    "constant_size_samples": ([1 * MB, 2 * MB, 4 * MB, 8 * MB], [
        "morvex.extract_thumbnail_from_mp4", "morvex.defragment_mp4",
        "lambda d: morvex.mux_fmp4_tracks(d, d)"]),
    "traks_and_trafs": ([1 * MB, 2 * MB, 4 * MB, 8 * MB], [
        "morvex.defragment_mp4", "morvex.reset_mp4_timestamps", "lambda d: morvex.mux_fmp4_tracks(d, d)",
        "lambda d: (lambda p: (p.set_init_segment(d), p.process_segment(d))[1])(morvex.FragmentedMP4Processor())"]),
    "endless_audio_pes": ([16 << 10, 64 << 10, 1 * MB, 2 * MB, 4 * MB, 8 * MB], [
        "morvex.convert_ts_to_mp4", "morvex.extract_thumbnail_from_ts"]),
}
# Recordings without moov: a picture every 8 bytes; noise, with a reference
# (every byte tried as a picture and as an AAC frame) and without one.
SHAPES["dense_pictures"] = ([1 * MB, 2 * MB, 4 * MB, 8 * MB], ["morvex.recover_mp4"])
SHAPES["noise_mdat"] = ([1 * MB, 2 * MB, 4 * MB, 8 * MB], [
    "morvex.recover_mp4", "lambda d: morvex.recover_mp4(d, crafted.a_reference())"])
# A picture or an audio frame every few bytes, through every TS road; the
# transmuxer takes the stream in 64 KB pushes.
TRANSMUX = ("lambda d: (lambda t: b''.join([t.push(d[i:i + 65536]) for i in range(0, len(d), 65536)]"
            " + [t.flush()]))(morvex.TransportStreamTransmuxer())")
for _shape in ("idr_slices", "non_idr_slices", "tiny_adts"):
    SHAPES[_shape] = ([1 << 20, 2 << 20, 4 << 20, 8 << 20], [
        "morvex.convert_ts_to_mp4", "morvex.convert_ts_to_fmp4", TRANSMUX, "morvex.extract_thumbnail_from_ts"])

ONE_RUN = """
import contextlib, io, json, sys, time
sys.path.insert(0, {root!r})
import morvex
from tests.toolkit import crafted

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024

def call():
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            return len(road(data)), ""
        except ValueError as e:
            return 0, str(e)

data = crafted.{shape}({size})
road = {road}
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
out, error = call()
peak = status("VmHWM") - before
best = float("inf")
for _ in range({reps}):
    t = time.perf_counter()
    call()
    best = min(best, time.perf_counter() - t)
print(json.dumps(dict(size=len(data), out=out, error=error, peak=peak, seconds=best)))
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=3)
    args = ap.parse_args()
    print(f"{'shape':22} {'road':40} {'input':>9} {'time':>10} {'ms/MB':>8} {'extra RSS':>11}  outcome")
    for shape, (sizes, roads) in SHAPES.items():
        for road in roads:
            for size in sizes:
                code = ONE_RUN.format(root=str(ROOT), shape=shape, size=size, road=road, reps=args.reps)
                run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                                     capture_output=True, text=True, check=True)
                r = json.loads(run.stdout.strip().splitlines()[-1])
                name = "transmuxer, 64 KB pushes" if road == TRANSMUX else \
                    road.removeprefix("morvex.").replace("lambda d: morvex.", "")
                name = "FragmentedMP4Processor" if "Processor" in name else name
                outcome = f"ValueError: {r['error']}" if r["error"] else f"{r['out']} bytes"
                print(f"{shape:22} {name:40} {r['size'] / 1024:>7.0f} K {r['seconds'] * 1e3:>7.2f} ms "
                      f"{r['seconds'] * 1e3 / (r['size'] / 2**20):>8.2f} {r['peak'] / 2**20:>8.1f} MB  {outcome}")


if __name__ == "__main__":
    main()
