"""Every morvex job side by side with FFmpeg, PyAV and a plain copy (not a test).

    tools/make_bench_inputs.sh            # once: writes bench/inputs/ (~500 MB)
    python bench/bench_all.py [--reps N] [--jobs a,b] [--sections s,t] [--quick]

One process run times, round-robin (each repetition runs every contender of
every job once, in turn) and keeps the minimum of --reps repetitions:

- morvex, in memory;
- FFmpeg `-c copy` as a process reading and writing files in a RAM-backed
  directory (/dev/shm when there is one): process start included, so this
  is what a caller that shells out to FFmpeg pays;
- PyAV remuxing in memory (BytesIO in, BytesIO out, streams made from the
  input's as templates, every packet muxed);
- one fresh copy of the input, `bytes(memoryview(data))`: the cost of
  touching that many new pages once, the floor for any job that returns a
  new buffer of the input's size.

Then: two threads converting at once against one (throughput ratio), with
two processes doing the same as the machine's own control; the peak RSS of
one call, each job in a fresh process; and the time per MB of TS -> MP4 at
10, 100 and 200 MB. Contenders that cannot do a job print "–".

Sections (--sections): table, threads, rss, per-mb. Jobs (--jobs): ts2mp4,
defrag, reset, segments, mux, key-ts, key-mp4.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import heapq
import io
import itertools
import json
import multiprocessing
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

import morvex

try:
    import av
except ImportError:  # PyAV is optional: its column prints "–"
    av = None

HERE = Path(__file__).resolve().parent
DEFAULT_INPUTS = HERE / "inputs"
DASH = "–"


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# Inputs


class Inputs:
    """The files made by tools/make_bench_inputs.sh, read on first use."""

    FILES = {
        "ts": "main.ts",
        "frag": "main_frag.mp4",
        "mp4": "main.mp4",
        "video": "video_frag.mp4",
        "audio": "audio_frag.mp4",
        "ts_10": "ts_10.ts",
        "ts_200": "ts_200.ts",
    }

    def __init__(self, root: Path) -> None:
        self.root = root
        self._cache: dict[str, object] = {}

    def path(self, name: str) -> Path:
        return self.root / self.FILES[name]

    def has(self, name: str) -> bool:
        if name == "hls":
            return (self.root / "hls" / "init.mp4").is_file()
        return self.path(name).is_file()

    def get(self, name: str):
        if name not in self._cache:
            if name == "hls":
                d = self.root / "hls"
                segs = sorted(d.glob("seg*.m4s"), key=lambda p: int(re.sub(r"\D", "", p.stem)))
                self._cache[name] = ((d / "init.mp4").read_bytes(), [p.read_bytes() for p in segs])
            else:
                self._cache[name] = self.path(name).read_bytes()
        return self._cache[name]

    def size(self, name: str) -> int:
        if name == "hls":
            init, segs = self.get("hls")
            return len(init) + sum(map(len, segs))
        return len(self.get(name))


# --------------------------------------------------------------------------
# Contenders


def fresh_copy(*bufs: bytes) -> list[bytes]:
    return [bytes(memoryview(b)) for b in bufs]


def process_segments(hls) -> list[bytes]:
    init, segs = hls
    proc = morvex.FragmentedMP4Processor()
    proc.set_init_segment(init)
    return [proc.process_segment(s) for s in segs]


def copy_segments(hls) -> list[bytes]:
    init, segs = hls
    return fresh_copy(init, *segs)


def _add_stream_like(out, stream):
    """PyAV 14+ has add_stream_from_template; older ones add_stream(template=)."""
    if hasattr(out, "add_stream_from_template"):
        return out.add_stream_from_template(stream)
    return out.add_stream(template=stream)


def pyav_remux(*bufs: bytes) -> bytes:
    """Demux every input from memory and mux all packets into one MP4 in memory,
    interleaved by decode time across inputs."""
    inputs = [av.open(io.BytesIO(b)) for b in bufs]
    sink = io.BytesIO()
    out = av.open(sink, "w", format="mp4")
    try:
        order = itertools.count()
        feeds = []
        for inp in inputs:
            streams = [s for s in inp.streams if s.type in ("video", "audio")]
            mapping = {s.index: _add_stream_like(out, s) for s in streams}

            def feed(inp=inp, streams=streams, mapping=mapping):
                for p in inp.demux(streams):
                    if p.dts is None:  # the demuxer's end-of-stream packets
                        continue
                    yield float(p.dts * p.time_base), next(order), p, mapping[p.stream.index]

            feeds.append(feed())
        for _, _, packet, ostream in heapq.merge(*feeds, key=lambda e: (e[0], e[1])):
            packet.stream = ostream
            out.mux(packet)
    finally:
        out.close()
        for inp in inputs:
            inp.close()
    return sink.getvalue()


def pyav_first_key_frame(data: bytes) -> bytes:
    with av.open(io.BytesIO(data)) as inp:
        for p in inp.demux(video=0):
            if p.is_keyframe and p.size:
                return bytes(p)
    raise ValueError("no key frame")


@dataclass
class Job:
    key: str
    title: str
    inputs: list[str]                       # Inputs names
    morvex: Callable                        # (*loaded inputs) -> result
    ffmpeg: Optional[list[str]] = None      # arguments between the inputs and the output
    ffmpeg_out: str = "out.mp4"
    pyav: Optional[Callable] = None
    copy: Optional[Callable] = fresh_copy
    rss: bool = True


JOBS = [
    Job("ts2mp4", "TS → MP4", ["ts"], morvex.convert_ts_to_mp4, ["-c", "copy"], pyav=pyav_remux),
    Job("defrag", "fMP4 → MP4", ["frag"], morvex.defragment_mp4, ["-c", "copy"], pyav=pyav_remux),
    Job("reset", "timestamp reset", ["frag"], morvex.reset_mp4_timestamps),
    Job("segments", "segment rebasing", ["hls"], process_segments, copy=copy_segments),
    Job("mux", "mux video + audio fMP4", ["video", "audio"], morvex.mux_fmp4_tracks,
        ["-map", "0", "-map", "1", "-c", "copy"], pyav=pyav_remux),
    Job("key-ts", "first key frame of the TS", ["ts"], morvex.extract_thumbnail_from_ts,
        ["-map", "0:v:0", "-frames:v", "1", "-c", "copy", "-f", "h264"], "out.h264",
        pyav=pyav_first_key_frame, copy=None),
    Job("key-mp4", "first key frame of the MP4", ["mp4"], morvex.extract_thumbnail_from_mp4,
        ["-map", "0:v:0", "-frames:v", "1", "-c", "copy", "-f", "h264"], "out.h264",
        pyav=pyav_first_key_frame, copy=None),
]
JOB_BY_KEY = {j.key: j for j in JOBS}
SECTIONS = ("table", "threads", "rss", "per-mb")


@contextlib.contextmanager
def quiet():
    """Keep the demultiplexer's report (written to sys.stdout, or to file
    descriptor 1 by older builds) out of the results."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = open(os.devnull, "w")
    os.dup2(null.fileno(), 1)
    try:
        with contextlib.redirect_stdout(null):
            yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        null.close()


def timed(fn: Callable) -> float:
    t = time.perf_counter()
    r = fn()
    dt = time.perf_counter() - t
    del r
    return dt


def scratch_dir() -> str:
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        return shm
    return tempfile.gettempdir()


# --------------------------------------------------------------------------
# The side-by-side table


def fmt_ms(s: float) -> str:
    ms = s * 1e3
    return f"{ms:.0f} ms" if ms >= 100 else f"{ms:.1f} ms" if ms >= 1 else f"{ms:.3f} ms"


def vs_morvex(other: float, mine: float) -> str:
    r = other / mine
    return f"{r:.2f}× slower" if r >= 1 else f"{1 / r:.1f}× faster than morvex"


def run_table(jobs: list[Job], inp: Inputs, reps: int, tmp: Path) -> list[str]:
    ffmpeg = shutil.which("ffmpeg")
    notes: list[str] = []
    # (job, contender) -> callable, or None with a note
    plan: dict[tuple[str, str], Callable] = {}
    on_disk: dict[str, Path] = {}
    for job in jobs:
        data = [inp.get(n) for n in job.inputs]
        plan[job.key, "morvex"] = lambda job=job, data=data: job.morvex(*data)
        if job.copy:
            plan[job.key, "copy"] = lambda job=job, data=data: job.copy(*data)
        if job.pyav and av is not None:
            plan[job.key, "pyav"] = lambda job=job, data=data: job.pyav(*data)
        if job.ffmpeg and ffmpeg:
            args = [ffmpeg, "-nostdin", "-y", "-loglevel", "error"]
            for n in job.inputs:
                if n not in on_disk:
                    on_disk[n] = tmp / inp.FILES[n]
                    on_disk[n].write_bytes(inp.get(n))
                args += ["-i", str(on_disk[n])]
            args += job.ffmpeg + [str(tmp / job.ffmpeg_out)]
            plan[job.key, "ffmpeg"] = lambda args=args: subprocess.run(
                args, check=True, stdin=subprocess.DEVNULL, capture_output=True)

    # One untimed run of each: warms caches and drops contenders that fail.
    for key, fn in list(plan.items()):
        try:
            with quiet():
                fn()
        except Exception as e:  # noqa: BLE001 - any failure just removes the contender
            detail = e.stderr.decode(errors="replace").strip().splitlines()[-1:] if isinstance(
                e, subprocess.CalledProcessError) else [str(e)]
            notes.append(f"{key[1]} cannot do {JOB_BY_KEY[key[0]].title}: {type(e).__name__} {' '.join(detail)}")
            del plan[key]

    best: dict[tuple[str, str], float] = {}
    for rep in range(reps):
        log(f"table: repetition {rep + 1}/{reps}")
        for key, fn in plan.items():
            gc.collect()
            with quiet():
                dt = timed(fn)
            best[key] = min(best.get(key, dt), dt)

    lines = [
        "| job | input | morvex | FFmpeg `-c copy` (process) | PyAV in-memory remux "
        "| one fresh copy of the input (`bytes(memoryview(data))`) |",
        "|---|---|---|---|---|---|",
    ]
    for job in jobs:
        mb = sum(inp.size(n) for n in job.inputs) / 1e6
        mine = best.get((job.key, "morvex"))
        cells = [job.title, f"{mb:.1f} MB", fmt_ms(mine) if mine else DASH]
        for c in ("ffmpeg", "pyav"):
            t = best.get((job.key, c))
            cells.append(f"{fmt_ms(t)} ({vs_morvex(t, mine)})" if t and mine else DASH)
        t = best.get((job.key, "copy"))
        cells.append(f"{fmt_ms(t)} (morvex = {mine / t:.2f}× it)" if t and mine else DASH)
        lines.append("| " + " | ".join(cells) + " |")
    return lines + [f"- {n}" for n in notes]


# --------------------------------------------------------------------------
# Threads against processes


def _worker(conn, fn, data) -> None:
    with quiet():
        while conn.recv():
            fn(*data)
            conn.send(True)


def run_threads(job: Job, inp: Inputs, reps: int) -> list[str]:
    data = [inp.get(n) for n in job.inputs]
    # Two distinct input objects, as two callers would pass.
    data2 = [bytes(memoryview(d)) if isinstance(d, bytes) else d for d in data]
    call = job.morvex
    ctx = multiprocessing.get_context("fork")
    procs, conns = [], []
    with quiet():
        for d in (data, data2):
            parent, child = ctx.Pipe()
            p = ctx.Process(target=_worker, args=(child, call, d), daemon=True)
            p.start()
            procs.append(p)
            conns.append(parent)

    def in_processes(n: int) -> float:
        t = time.perf_counter()
        for c in conns[:n]:
            c.send(True)
        for c in conns[:n]:
            c.recv()
        return time.perf_counter() - t

    pool = ThreadPoolExecutor(2)

    def in_threads(n: int) -> float:
        gate = threading.Barrier(n + 1)

        def work(d):
            gate.wait()
            r = call(*d)
            del r

        futs = [pool.submit(work, d) for d in (data, data2)[:n]]
        gate.wait()
        t = time.perf_counter()
        for f in futs:
            f.result()
        return time.perf_counter() - t

    best = {}
    try:
        with quiet():
            in_threads(2)
            in_processes(2)
        for rep in range(reps):
            log(f"threads: repetition {rep + 1}/{reps}")
            for name, fn, n in (("t1", in_threads, 1), ("t2", in_threads, 2),
                                ("p1", in_processes, 1), ("p2", in_processes, 2)):
                gc.collect()
                with quiet():
                    dt = fn(n)
                best[name] = min(best.get(name, dt), dt)
    finally:
        pool.shutdown()
        for c in conns:
            c.send(False)
        for p in procs:
            p.join(10)
    thr = 2 * best["t1"] / best["t2"]
    prc = 2 * best["p1"] / best["p2"]
    return [
        f"Two at once, {job.title} ({sum(inp.size(n) for n in job.inputs) / 1e6:.1f} MB each):",
        f"- threads:   1 call {fmt_ms(best['t1'])}, 2 calls at once {fmt_ms(best['t2'])}: "
        f"throughput {thr:.2f}× one thread",
        f"- processes: 1 call {fmt_ms(best['p1'])}, 2 calls at once {fmt_ms(best['p2'])}: "
        f"throughput {prc:.2f}× one process",
        f"- threads reach {thr / prc:.2f}× of what two processes get",
    ]


# --------------------------------------------------------------------------
# Peak memory of one call, in a fresh process


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def rss_child(job_key: str, root: Path) -> None:
    """Runs in a fresh interpreter: load the inputs, reset the peak, call once."""
    job = JOB_BY_KEY[job_key]
    inp = Inputs(root)
    data = [inp.get(n) for n in job.inputs]
    gc.collect()
    # Writing 5 to clear_refs resets VmHWM to the current RSS (proc(5)), so the
    # peak seen afterwards is this call's; ru_maxrss would include the parent's
    # peak inherited across fork and the interpreter's start-up.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    loaded = _status_kib("VmRSS")
    with quiet():
        out = job.morvex(*data)
    peak = _status_kib("VmHWM")
    out_size = sum(map(len, out)) if isinstance(out, list) else len(out)
    print(json.dumps({"loaded": loaded * 1024, "peak": peak * 1024,
                      "input": sum(inp.size(n) for n in job.inputs), "output": out_size}))


def run_rss(jobs: list[Job], root: Path) -> list[str]:
    lines = [
        "Peak RSS of one call, fresh process per job (VmHWM after clear_refs, "
        "minus the RSS with the input loaded):",
        "| job | input | output | peak − loaded | × input | × output |",
        "|---|---|---|---|---|---|",
    ]
    for job in jobs:
        if not job.rss:
            continue
        log(f"rss: {job.key}")
        r = subprocess.run([sys.executable, __file__, "--rss-child", job.key, "--inputs", str(root)],
                           capture_output=True, text=True)
        if r.returncode != 0:
            lines.append(f"| {job.title} | {DASH} | {DASH} | {DASH} | {DASH} | {DASH} |")
            log(r.stderr.strip())
            continue
        m = json.loads(r.stdout.strip().splitlines()[-1])
        extra = m["peak"] - m["loaded"]
        lines.append(f"| {job.title} | {m['input'] / 1e6:.1f} MB | {m['output'] / 1e6:.2f} MB | "
                     f"{extra / 1e6:.1f} MB | {extra / m['input']:.2f}× | {extra / max(m['output'], 1):.2f}× |")
    return lines


# --------------------------------------------------------------------------
# Time per MB


def run_per_mb(inp: Inputs, reps: int, quick: bool) -> list[str]:
    names = [n for n in ("ts_10", "ts", "ts_200") if inp.has(n) and not (quick and n == "ts_200")]
    best: dict[tuple[str, str], float] = {}
    for n in names:
        with quiet():
            morvex.convert_ts_to_mp4(inp.get(n))
    for rep in range(reps):
        log(f"per-mb: repetition {rep + 1}/{reps}")
        for n in names:
            d = inp.get(n)
            for c, fn in (("morvex", lambda: morvex.convert_ts_to_mp4(d)), ("copy", lambda: bytes(memoryview(d)))):
                gc.collect()
                with quiet():
                    dt = timed(fn)
                best[n, c] = min(best.get((n, c), dt), dt)
    lines = ["Time per MB, TS → MP4:", "| input | morvex | per MB | copy per MB | morvex / copy |",
             "|---|---|---|---|---|"]
    for n in names:
        mb = inp.size(n) / 1e6
        m, c = best[n, "morvex"], best[n, "copy"]
        lines.append(f"| {mb:.1f} MB | {fmt_ms(m)} | {m * 1e3 / mb:.3f} ms | {c * 1e3 / mb:.3f} ms | {m / c:.2f}× |")
    if "ts_10" in names:
        lines.append("- glibc serves blocks below its mmap threshold (which grows to 32 MiB after a large "
                     "free) from memory it kept, so 10 MB buffers may not fault in fresh pages")
    missing = [inp.FILES[n] for n in ("ts_10", "ts_200") if not inp.has(n)]
    if missing:
        lines.append(f"- missing: {', '.join(missing)}")
    return lines


# --------------------------------------------------------------------------


def versions() -> str:
    ff = shutil.which("ffmpeg")
    ffv = DASH
    if ff:
        first = subprocess.run([ff, "-version"], capture_output=True, text=True).stdout.split("\n")[0]
        ffv = first.split()[2] if len(first.split()) > 2 else first
    return (f"morvex {morvex.__version__}, FFmpeg {ffv}, PyAV {av.__version__ if av else DASH}, "
            f"Python {platform.python_version()}, {os.cpu_count()} CPUs")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    ap.add_argument("--inputs", type=Path, default=DEFAULT_INPUTS, help="directory made by tools/make_bench_inputs.sh")
    ap.add_argument("--reps", type=int, default=None, help="repetitions, minimum kept (default 7, 3 with --quick)")
    ap.add_argument("--jobs", default=",".join(JOB_BY_KEY), help="comma-separated: " + ",".join(JOB_BY_KEY))
    ap.add_argument("--sections", default=",".join(SECTIONS), help="comma-separated: " + ",".join(SECTIONS))
    ap.add_argument("--thread-job", default="ts2mp4", choices=list(JOB_BY_KEY), help="job of the threads section")
    ap.add_argument("--quick", action="store_true", help="3 repetitions, no 200 MB input")
    ap.add_argument("--rss-child", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.rss_child:
        rss_child(args.rss_child, args.inputs)
        return

    reps = args.reps or (3 if args.quick else 7)
    keys = [k for k in args.jobs.split(",") if k]
    sections = [s for s in args.sections.split(",") if s]
    for k in keys:
        if k not in JOB_BY_KEY:
            ap.error(f"unknown job {k!r}; jobs: {', '.join(JOB_BY_KEY)}")
    for s in sections:
        if s not in SECTIONS:
            ap.error(f"unknown section {s!r}; sections: {', '.join(SECTIONS)}")
    inp = Inputs(args.inputs)
    jobs = []
    for k in keys:
        job = JOB_BY_KEY[k]
        missing = [n for n in job.inputs if not inp.has(n)]
        if missing:
            log(f"skipping {k}: no {', '.join(missing)} in {args.inputs} (run tools/make_bench_inputs.sh)")
        else:
            jobs.append(job)

    out = [versions() + f"; minimum of {reps} repetitions", ""]
    with tempfile.TemporaryDirectory(prefix="morvex-bench-", dir=scratch_dir()) as tmp:
        if "table" in sections and jobs:
            out += run_table(jobs, inp, reps, Path(tmp)) + [""]
    if "threads" in sections:
        tj = JOB_BY_KEY[args.thread_job]
        if all(inp.has(n) for n in tj.inputs):
            out += run_threads(tj, inp, reps) + [""]
    if "rss" in sections and jobs:
        out += run_rss(jobs, args.inputs) + [""]
    if "per-mb" in sections and inp.has("ts"):
        out += run_per_mb(inp, reps, args.quick) + [""]
    print("\n".join(out).rstrip())


if __name__ == "__main__":
    main()
