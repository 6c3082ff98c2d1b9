"""Benchmark of package_cmaf against FFmpeg's HLS and DASH muxers (not a
test; not run by CI).

    python bench/bench_package.py [IN] [--segment S] [--repeat N] [--byte-range]

Times package_cmaf of the bench transport stream (made by
tools/make_bench_inputs.sh) into its HLS and DASH tree in memory, then
written out file by file, side by side with `ffmpeg -c copy -f hls` and
`ffmpeg -c copy -f dash` run as processes over the same input, all writing
to /dev/shm (a temporary folder when there is none): FFmpeg's times include
its process start and its reading of the input, as a service that runs it
over files pays them. Each figure is the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import morvex

HERE = Path(__file__).resolve().parent
DEFAULT_INPUT = HERE / "inputs" / "main.ts"


def scratch() -> str:
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else tempfile.gettempdir()


def best_of(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def fresh(folder: Path) -> Path:
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def write_tree(tree: dict[str, bytes], folder: Path) -> None:
    for name, data in tree.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("input", nargs="?", type=Path, default=DEFAULT_INPUT)
    ap.add_argument("--segment", type=float, default=6.0, help="segment duration, seconds")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--byte-range", action="store_true", help="one media file per track (EXT-X-BYTERANGE, sidx)")
    args = ap.parse_args()
    if not args.input.exists():
        raise SystemExit(f"{args.input} is missing: run tools/make_bench_inputs.sh first")

    data = args.input.read_bytes()
    mb = len(data) / 1e6
    print(f"input: {args.input.name}, {mb:.1f} MB, segments of {args.segment:g} s"
          f"{', byte ranges' if args.byte_range else ''}")

    with tempfile.TemporaryDirectory(dir=scratch()) as tmp:
        out = Path(tmp)
        tree = morvex.package_cmaf(data, args.segment, byte_range=args.byte_range)
        media = [n for n in tree if n.endswith((".m4s", ".mp4"))]
        print(f"  {len(tree)} files, {len(media)} media, {sum(map(len, tree.values())) / 1e6:.1f} MB")

        def ours() -> None:
            write_tree(morvex.package_cmaf(data, args.segment, byte_range=args.byte_range), fresh(out / "morvex"))

        memory = best_of(args.repeat, lambda: morvex.package_cmaf(data, args.segment, byte_range=args.byte_range))
        written = best_of(args.repeat, ours)
        rows = [("morvex package_cmaf (in memory)", memory), ("morvex package_cmaf + files written", written)]

        ffmpeg = shutil.which("ffmpeg")
        if ffmpeg:
            src = out / ("in" + args.input.suffix)
            src.write_bytes(data)
            common = [ffmpeg, "-nostdin", "-loglevel", "error", "-y", "-i", str(src), "-map", "0:v:0", "-map", "0:a:0",
                      "-c", "copy"]
            if args.input.suffix == ".ts":
                # ADTS to raw AAC frames, and the MP4 sample entry names in
                # place of the TS stream types FFmpeg's copy would keep.
                common += ["-bsf:a", "aac_adtstoasc", "-tag:v", "avc1", "-tag:a", "mp4a"]
            flags = ["-hls_flags", "single_file"] if args.byte_range else []
            hls = [*common, "-f", "hls", "-hls_time", f"{args.segment:g}", "-hls_playlist_type", "vod",
                   "-hls_segment_type", "fmp4", *flags]
            dash = [*common, "-f", "dash", "-seg_duration", f"{args.segment:g}",
                    *(["-single_file", "1"] if args.byte_range else [])]
            jobs = {"ffmpeg -f hls -c copy (process)": (hls, "index.m3u8"),
                    "ffmpeg -f dash -c copy (process)": (dash, "manifest.mpd")}
            for name, (cmd, top) in jobs.items():
                folder = out / top.split(".")[1]

                def run(cmd=cmd, top=top, folder=folder) -> None:
                    subprocess.run([*cmd, str(fresh(folder) / top)], check=True, cwd=folder)

                rows.append((name, best_of(args.repeat, run)))
        else:
            print("ffmpeg not found; skipping the comparison")

    for name, t in rows:
        print(f"  {name:38} {t * 1e3:9.1f} ms  ({mb / t:8.1f} MB/s)")
    for name, t in rows[2:]:
        print(f"  {name.split(' (')[0]}: package_cmaf {t / written:4.1f}x faster with its files written,"
              f" {t / memory:4.1f}x in memory")


if __name__ == "__main__":
    main()
