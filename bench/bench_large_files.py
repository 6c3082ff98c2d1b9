"""Files larger than memory, from file to file (not a test; not run by CI).

    python bench/bench_large_files.py [--dir DIR] [--size GB] [--keep]

Makes a transport stream of --size GB (4.5 by default) by joining the bench
TS (bench/inputs/main.ts, made by tools/make_bench_inputs.sh) back to back,
as joined recordings are, and a fragmented MP4 of the same by FFmpeg's
concat demuxer over the bench TS. Then, side by side in one run, each job
against `cp` of its input and against `ffmpeg -c copy` doing the same job:

    TS to MP4            morvex.write_file(convert_ts_to_mp4)
    TS to fMP4           morvex.write_file(convert_ts_to_fmp4)
    fMP4 to MP4          morvex.write_file(defragment_mp4)

Every job runs in a process of its own, whose peak anonymous memory is
sampled from RssAnon in /proc/PID/status (VmHWM would count the mapped
input's pages, which are the page cache's). The input is read once before
the runs, so that every job finds it in the page cache alike. Each output
is then checked with FFmpeg: ffprobe counts its pictures (every one of the
source's), the last seconds decode after a seek to the end, and the box
layout of an output over 4 GiB has `co64` and a 64-bit `mdat`.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH_TS = ROOT / "bench" / "inputs" / "main.ts"
MIB = 1 << 20

MORVEX = """
import sys
import morvex
morvex.write_file(getattr(morvex, sys.argv[1]), sys.argv[2], output=sys.argv[3], overwrite=True, report=None)
"""


def ff(*args: str) -> None:
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def make_inputs(folder: Path, size: float) -> tuple[Path, Path]:
    copies = -(-int(size * 1e9) // BENCH_TS.stat().st_size)
    ts, fmp4 = folder / "large.ts", folder / "large_frag.mp4"
    if not ts.exists():
        one = BENCH_TS.read_bytes()
        with open(ts, "wb") as f:
            for _ in range(copies):
                f.write(one)
    if not fmp4.exists():
        listing = folder / "parts.txt"
        listing.write_text("".join(f"file '{BENCH_TS}'\n" for _ in range(copies)))
        ff("-f", "concat", "-safe", "0", "-i", str(listing), "-c", "copy", "-bsf:a", "aac_adtstoasc",
           "-movflags", "frag_keyframe+empty_moov+default_base_moof", "-f", "mp4", str(fmp4))
    return ts, fmp4


def run(command: list[str]) -> tuple[float, float]:
    """Wall time and peak RssAnon (MiB) of a command."""
    start = time.perf_counter()
    p = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    peak = 0
    status = Path(f"/proc/{p.pid}/status")
    while p.poll() is None:
        try:
            for line in status.read_text().splitlines():
                if line.startswith("RssAnon:"):
                    peak = max(peak, int(line.split()[1]) * 1024)
        except (OSError, ValueError):
            pass
        time.sleep(0.005)
    elapsed = time.perf_counter() - start
    if p.returncode:
        raise SystemExit(f"failed ({p.returncode}): {' '.join(command)}")
    return elapsed, peak / MIB


def pictures(path: Path) -> int:
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                          "stream=nb_read_packets", "-of", "json", str(path)], check=True, capture_output=True)
    return int(json.loads(out.stdout)["streams"][0]["nb_read_packets"])


def end_decodes(path: Path) -> int:
    """Pictures decoded in the last 3 s, after a seek there."""
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-sseof", "-3", "-i", str(path), "-map", "0:v:0",
                          "-f", "framemd5", "-"], check=True, capture_output=True, text=True)
    return sum(1 for line in out.stdout.splitlines() if line and not line.startswith("#"))


def wide_boxes(path: Path) -> str:
    """Whether the top-level mdat has a 64-bit size and the moov holds co64."""
    with open(path, "rb") as f:
        size, wide_mdat, co64 = path.stat().st_size, False, False
        at = 0
        while at + 8 <= size:
            f.seek(at)
            length, kind = struct.unpack(">I4s", f.read(8))
            header = 8
            if length == 1:
                length, header = struct.unpack(">Q", f.read(8))[0], 16
            if kind == b"mdat":
                wide_mdat |= header == 16
            if kind == b"moov":
                f.seek(at)
                co64 |= b"co64" in f.read(length)
            if length < header:
                break
            at += length
    return f"{'64-bit mdat' if wide_mdat else '32-bit mdat'}, {'co64' if co64 else 'stco'}"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dir", type=Path, default=None, help="where the inputs and outputs go (a disk, not tmpfs)")
    ap.add_argument("--size", type=float, default=4.5, help="input size in GB")
    ap.add_argument("--keep", action="store_true", help="keep the inputs made for a next run")
    args = ap.parse_args()
    if not BENCH_TS.exists():
        raise SystemExit(f"{BENCH_TS} is missing: run tools/make_bench_inputs.sh")
    folder = args.dir or Path(tempfile.mkdtemp(prefix="morvex-large-", dir=ROOT / "bench" / "inputs"))
    folder.mkdir(parents=True, exist_ok=True)
    ts, fmp4 = make_inputs(folder, args.size)
    source_pictures = {ts: pictures(ts), fmp4: pictures(fmp4)}
    jobs = [
        ("TS to MP4", ts, "convert_ts_to_mp4", ["-f", "mp4"]),
        ("TS to fMP4", ts, "convert_ts_to_fmp4", ["-movflags", "frag_keyframe+empty_moov+default_base_moof",
                                                  "-f", "mp4"]),
        ("fMP4 to MP4", fmp4, "defragment_mp4", ["-f", "mp4"]),
    ]
    out = folder / "out.mp4"
    print(f"inputs: {ts.name} {ts.stat().st_size / 1e9:.2f} GB, {fmp4.name} {fmp4.stat().st_size / 1e9:.2f} GB")
    print(f"{'job':12} {'tool':8} {'time s':>8} {'x cp':>6} {'RssAnon MiB':>12} {'goal MiB':>9}  output")
    for name, source, function, options in jobs:
        subprocess.run(["cat", str(source)], stdout=subprocess.DEVNULL, check=True)  # into the page cache
        size = source.stat().st_size
        goal = 64 + 0.02 * size / MIB
        cp_time, cp_mem = run(["cp", str(source), str(out)])
        out.unlink()
        print(f"{name:12} {'cp':8} {cp_time:8.1f} {1:6.2f} {cp_mem:12.1f}")
        for tool, command in (
            ("morvex", [sys.executable, "-c", MORVEX, function, str(source), str(out)]),
            ("ffmpeg", ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(source), "-map", "0:v:0",
                        "-map", "0:a:0", "-c", "copy", *(["-bsf:a", "aac_adtstoasc"] if source == ts else []),
                        *options, str(out)]),
        ):
            elapsed, peak = run(command)
            seen = pictures(out)
            check = (f"{out.stat().st_size / 1e9:.2f} GB, {seen}/{source_pictures[source]} pictures, "
                     f"{end_decodes(out)} decoded in the last 3 s")
            if function != "convert_ts_to_fmp4":
                check += ", " + wide_boxes(out)
            print(f"{name:12} {tool:8} {elapsed:8.1f} {elapsed / cp_time:6.2f} {peak:12.1f} "
                  f"{goal if tool == 'morvex' else float('nan'):9.0f}  {check}", flush=True)
            out.unlink()
    if not args.keep and args.dir is None:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
