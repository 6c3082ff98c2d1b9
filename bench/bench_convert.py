"""Benchmark of convert_ts_to_mp4 (not a test; not run by CI).

    python bench/bench_convert.py [IN.ts] [--copies N] [--repeat N] [--threads N]

Times the in-memory conversion of a transport stream, the same job done by
`ffmpeg -i IN -c copy OUT.mp4` in a subprocess when FFmpeg is installed
(process start and file I/O included, so it is an upper bound for FFmpeg),
and the throughput of several threads converting at once. The small
fixture is repeated `--copies` times (back to back, as a stream that loops)
to get an input of a few megabytes.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from pathlib import Path

import morvex

DEFAULT_INPUT = Path(__file__).resolve().parent.parent / "tests" / "fixtures" / "bframes_48k_stereo.ts"


@contextmanager
def quiet_stdout():
    """The demultiplexer reports on file descriptor 1; keep it off the results."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "wb") as null:
        os.dup2(null.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def best_of(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("input", nargs="?", type=Path, default=DEFAULT_INPUT)
    ap.add_argument("--copies", type=int, default=50)
    ap.add_argument("--repeat", type=int, default=10)
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    args = ap.parse_args()

    data = args.input.read_bytes() * args.copies
    mb = len(data) / 1e6
    print(f"input: {args.input.name}, {mb:.2f} MB")

    with quiet_stdout():
        out = morvex.convert_ts_to_mp4(data)
        t = best_of(args.repeat, lambda: morvex.convert_ts_to_mp4(data))
    print(f"morvex convert_ts_to_mp4: {t * 1e3:8.2f} ms  ({mb / t:8.1f} MB/s), output {len(out)} bytes")

    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg:
        with tempfile.TemporaryDirectory() as tmp:
            src, dst = Path(tmp) / "in.ts", Path(tmp) / "out.mp4"
            src.write_bytes(data)
            cmd = [ffmpeg, "-nostdin", "-loglevel", "error", "-y", "-i", str(src), "-c", "copy", str(dst)]
            t = best_of(max(1, args.repeat // 4), lambda: subprocess.run(cmd, check=True))
        print(f"ffmpeg -c copy (process): {t * 1e3:8.2f} ms  ({mb / t:8.1f} MB/s)")
    else:
        print("ffmpeg not found; skipping the comparison")

    jobs = [data] * (args.threads * 4)
    with quiet_stdout():
        t = time.perf_counter()
        for d in jobs:
            morvex.convert_ts_to_mp4(d)
        serial = time.perf_counter() - t
        with ThreadPoolExecutor(args.threads) as pool:
            t = time.perf_counter()
            list(pool.map(morvex.convert_ts_to_mp4, jobs))
            threaded = time.perf_counter() - t
    total = mb * len(jobs)
    print(f"{len(jobs)} conversions, 1 thread:   {serial:6.3f} s  ({total / serial:8.1f} MB/s)")
    print(f"{len(jobs)} conversions, {args.threads} threads:  {threaded:6.3f} s  ({total / threaded:8.1f} MB/s)"
          f"  speed-up {serial / threaded:.2f}x")


if __name__ == "__main__":
    main()
