"""The ``morvex`` command (also ``python -m morvex``): the module's jobs on files.

    morvex convert in.ts out.mp4
    morvex convert a.ts b.ts c.ts -d out -j 2
    morvex defragment - - < fragmented.mp4 > regular.mp4
    morvex fragment in.ts out.mp4
    morvex fragment seg0.ts seg1.ts seg2.ts -d out   (init.mp4, seg0.m4s, ..., index.m3u8)
    morvex package in.ts -d site --segment 4         (HLS and DASH of CMAF tracks)
    morvex recover broken.mp4 fixed.mp4 --reference good.mp4

The extension works on bytes only; this front end reads the inputs, runs the
jobs on threads (the extension releases the interpreter lock), and writes each
result to a temporary file in the target folder that is renamed into place
only when it is complete (a device, a FIFO or another special file given as
the output is written into instead). Exit status: 0 when every job succeeded,
1 when one failed or was refused, 2 for a usage error, 130 when interrupted.

Its public names are `main` (the command line as a function, returning the
exit status) and `entry` (the console script); the rest is internal.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import mmap
import os
import re
import secrets
import shutil
import stat
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator, NamedTuple, Sequence, TextIO

from morvex import _morvex
from morvex._types import Probe

__all__ = ["main", "entry"]

STDIO = "-"
TS_SUFFIXES = {".ts", ".m2ts", ".mts", ".tsv", ".trp"}

# The kinds that sniff() tells apart, as named in the hints.
TS = "an MPEG transport stream"
FRAGMENTED = "a fragmented MP4"
REGULAR = "a regular MP4"
WITHOUT_MOOV = "an MP4 recording without its moov"

# Where the demultiplexer's report of a job goes: None, or a callable that
# takes its text.
Report = Callable[[str], object] | None


class Command(NamedTuple):
    help: str
    suffix: str  # of the outputs written with -d
    accepts: tuple[str, ...]  # the input kinds the job is for
    run: Callable[[Sequence[bytes], str, Report], bytes]  # inputs, name of the first, report
    # The module function that writes the output from files, in bounded
    # memory (morvex.write_file), when there is one.
    function: str | None = None


def thumbnail(data: bytes, name: str, report: Report) -> bytes:
    if looks_like_ts(data, name):
        return _morvex.extract_thumbnail_from_ts(data, report=report)
    return _morvex.extract_thumbnail_from_mp4(data)


COMMANDS = {
    "convert": Command("MPEG-TS (H.264 or HEVC; AAC, MPEG audio, AC-3 or E-AC-3) to MP4", ".mp4", (TS,),
                       lambda d, _, report: _morvex.convert_ts_to_mp4(d[0], report=report), "convert_ts_to_mp4"),
    "defragment": Command("fragmented MP4 to regular MP4", ".mp4", (FRAGMENTED,),
                          lambda d, _, __: _morvex.defragment_mp4(d[0]), "defragment_mp4"),
    "reset": Command("rebase the timestamps of an MP4 to start at 0", ".mp4", (FRAGMENTED, REGULAR),
                     lambda d, _, __: _morvex.reset_mp4_timestamps(d[0]), "reset_mp4_timestamps"),
    "mux": Command("merge a video MP4 and an audio MP4 (fragmented or regular) into one MP4", ".mp4",
                   (FRAGMENTED, REGULAR), lambda d, _, __: _morvex.mux_fmp4_tracks(d[0], d[1]), "mux_fmp4_tracks"),
    "fragment": Command("MPEG-TS to fragmented MP4; with -d, live segments in order to init.mp4 and a .m4s each",
                        ".m4s", (TS,), lambda d, _, report: _morvex.convert_ts_to_fmp4(d[0], report=report),
                        "convert_ts_to_fmp4"),
    "thumbnail": Command("first key frame of a TS or an MP4, as H.264 or HEVC Annex B", ".h264",
                         (TS, FRAGMENTED, REGULAR), lambda d, name, report: thumbnail(d[0], name, report)),
    "recover": Command("a recording cut short (a fragmented MP4, or an MP4 without its moov) as a regular MP4",
                       ".mp4", (FRAGMENTED, REGULAR, WITHOUT_MOOV),
                       lambda d, _, __: _morvex.recover_mp4(d[0], d[1] if len(d) > 1 else None)),
}

# The subcommand that fits each kind of input, for the hint after a failure.
FITTING = {TS: "convert", FRAGMENTED: "defragment", REGULAR: "reset", WITHOUT_MOOV: "recover"}

# The module's messages that are not in English, and what they say.
IN_ENGLISH = [
    (re.compile(r"track_id (\d+) 가 중복됨"), "track ID {0} appears twice in one file"),
    (re.compile(r"합칠 트랙이 없음"), "neither file has a track to mux"),
    (re.compile(r"템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음"),
     "the first file's moov has no trak to model the tracks on"),
    (re.compile(r"track_id (\d+) 에 해당하는 trak 없음"), "no trak for track ID {0}"),
]


def in_english(message: str) -> str | None:
    """An English line for a message of the module that is not English."""
    for pattern, english in IN_ENGLISH:
        if found := pattern.fullmatch(message):
            return english.format(*found.groups())
    return None


# --- input kinds ----------------------------------------------------------------

def top_level_boxes(data: bytes) -> Iterator[tuple[bytes, int, int]]:
    """(type, payload start, end) of the top-level boxes (ISO/IEC 14496-12
    4.2: 32-bit size and type, a 64-bit size when the size is 1, to the end
    of the file when it is 0), up to the first that does not fit."""
    pos = 0
    while pos + 8 <= len(data):
        size = int.from_bytes(data[pos:pos + 4], "big")
        kind = data[pos + 4:pos + 8]
        header = 8
        if size == 1:
            if pos + 16 > len(data):
                return
            size, header = int.from_bytes(data[pos + 8:pos + 16], "big"), 16
        elif size == 0:
            size = len(data) - pos
        if size < header or not all(0x20 <= c < 0x7F for c in kind):
            return
        yield kind, pos + header, min(pos + size, len(data))
        pos += size


def sniff(data: bytes) -> str | None:
    """The kind of `data`: a transport stream (sync byte 0x47 at the start
    of each of the first 188-byte packets, H.222.0 2.4.3.2), a fragmented MP4
    (a moof box, or an mvex inside the moov), a recording whose moov was
    never written (an mdat and no moov), a regular MP4 (ftyp or moov
    without those), or None."""
    packets = min(len(data) // 188, 4)
    if data[:1] == b"\x47" and all(data[188 * i] == 0x47 for i in range(packets)):
        return TS
    kinds = set()
    for kind, start, end in top_level_boxes(data):
        kinds.add(kind)
        if kind == b"moov" and any(k == b"mvex" for k, _, _ in top_level_boxes(data[start:end])):
            return FRAGMENTED
        if kind == b"moof":
            return FRAGMENTED
    if b"mdat" in kinds and b"moov" not in kinds:
        return WITHOUT_MOOV
    if kinds & {b"ftyp", b"moov", b"styp", b"mdat"}:
        return REGULAR
    return None


def looks_like_ts(data: bytes, name: str) -> bool:
    """Whether to take `data` as a transport stream: by its content, and by
    the file name's suffix when the content is neither TS nor MP4."""
    kind = sniff(data)
    if kind is not None:
        return kind == TS
    return Path(name).suffix.lower() in TS_SUFFIXES


def hint(command: str, name: str, data: bytes, message: str = "") -> str | None:
    """A hint after a failure, when the input is of a kind the command is
    not for and another command takes, or ends inside a box as a recording
    cut short does: only then would one help."""
    kind = sniff(data)
    if kind is not None and command in COMMANDS and kind not in COMMANDS[command].accepts:
        return f"{name} looks like {kind}; try `morvex {FITTING[kind]}`"
    if command != "recover" and re.fullmatch(r"Box size \d+ exceeds available data", message):
        return f"{name} ends inside a box, as a recording cut short does; try `morvex recover`"
    return None


def culprit(command: str, data: Sequence[bytes]) -> int:
    """Which input a failed job's error is about. Only `mux` has two: the
    one that is not an MP4, else the first unless it muxes with itself."""
    if command != "mux":
        return 0
    kinds = [sniff(d) for d in data]
    mp4 = COMMANDS["mux"].accepts
    if kinds[0] not in mp4 or kinds[1] not in mp4:
        return 0 if kinds[0] not in mp4 else 1
    try:
        _morvex.mux_fmp4_tracks(data[0], data[0])
    except ValueError:
        return 0
    return 1


def memory_advice(job: Job) -> str | None:
    """What to suggest to a job that ran out of memory: the road from files
    to a file needs memory for its index only, and reading standard input
    or writing standard output leaves it."""
    if STDIO in job.inputs or job.output == STDIO:
        return "read from a file and write to a file to convert in bounded memory"
    return None


def from_files(job: Job, command: str) -> str | None:
    """The module function that runs the job from its input files to its
    output file, when all of them are regular files (or the output is yet to
    be made); None for standard input or output, and for special files."""
    function = COMMANDS[command].function
    if function is None or job.output == STDIO or special_file(job.output) is not None:
        return None
    for path in job.inputs:
        try:
            if path == STDIO or not stat.S_ISREG(os.stat(path).st_mode):
                return None
        except OSError:
            return None  # the bytes road says what is wrong with it
    return function


# --- jobs -------------------------------------------------------------------------

class Refused(Exception):
    """A job that is not started: its message is printed as it stands."""


class Failed(Exception):
    """A job that failed: its message (naming the path the user gave), and
    the lines that follow it."""

    def __init__(self, message: str, *more: str | None) -> None:
        super().__init__(message)
        self.more = [line for line in more if line]


@dataclass
class Job:
    inputs: list[str]
    output: str
    size: int = 0  # bytes read, for the progress line
    seconds: float = 0.0


def same_file(a: str, b: str) -> bool:
    # samefile compares device and inode after following links, so a
    # symlink or a hard link to the input is the input.
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def special_file(path: str) -> os.stat_result | None:
    """The status of `path` (links followed) when it is a device, a FIFO, a
    socket or other file that is not a regular file or a folder; else None."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return None if stat.S_ISREG(st.st_mode) or stat.S_ISDIR(st.st_mode) else st


class Usage(Exception):
    """A usage error: printed with the usage line, exit status 2."""


def plan(args: argparse.Namespace) -> list[Job]:
    """The jobs of the command line, or Usage for a usage that makes none."""
    paths: list[str] = args.paths
    count = 2 if args.command == "mux" else 1
    if args.outdir is None:
        if len(paths) != count + 1:
            want = "VIDEO AUDIO OUT" if count == 2 else "IN OUT"
            got = f"{len(paths)} path" + ("" if len(paths) == 1 else "s")
            raise Usage(f"expected {want}, or inputs and -d OUTDIR (got {got})")
        jobs = [Job(paths[:count], paths[count])]
    else:
        if len(paths) % count:
            raise Usage("mux takes inputs in VIDEO AUDIO pairs")
        if STDIO in paths:
            raise Usage("'-' (standard input) needs an output path, not -d")
        suffix = COMMANDS[args.command].suffix
        jobs = [Job(paths[i:i + count], os.path.join(args.outdir, Path(paths[i]).stem + suffix))
                for i in range(0, len(paths), count)]
    # recover's reference is an input of every job (an output may not
    # replace it).
    if getattr(args, "reference", None) is not None:
        for job in jobs:
            job.inputs.append(args.reference)
    if sum(p == STDIO for job in jobs for p in job.inputs) > 1:
        raise Usage("standard input can be read only once")
    seen: dict[str, str] = {}
    for job in jobs:
        key = os.path.abspath(job.output)
        if job.output != STDIO and key in seen:
            raise Usage(f"{seen[key]} and {job.inputs[0]} would both write {job.output}")
        seen[key] = job.inputs[0]
    return jobs


def make_outdir(outdir: str) -> None:
    """-d's folder, made (with its parents) when it does not exist."""
    try:
        os.makedirs(outdir, exist_ok=True)
    except FileExistsError:
        raise Refused(f"{outdir}: not a directory") from None
    except OSError as e:
        raise Refused(f"{outdir}: cannot create the folder: {e.strerror or e}") from None


def check_output(job: Job, overwrite: bool) -> None:
    """Refuses, before any work, an output that cannot or must not be
    written: its folder missing, a folder, an input, or (without -y) an
    existing file or block device."""
    if job.output == STDIO:
        return
    special = special_file(job.output)
    if special is not None:
        # Written into as it is: a FIFO or /dev/null is not replaced, and a
        # disk is written over only when asked to.
        if stat.S_ISBLK(special.st_mode) and not overwrite:
            raise Refused(f"{job.output}: is a block device (use -y to write into it)")
        return
    for source in job.inputs:
        if source != STDIO and same_file(source, job.output):
            raise Refused(f"{job.output}: is the input {source}; not writing over it")
    if os.path.isdir(job.output):
        raise Refused(f"{job.output}: is a directory")
    if not overwrite and os.path.lexists(job.output):
        raise Refused(f"{job.output}: already exists (use -y to overwrite)")
    folder = os.path.dirname(job.output) or "."
    if not os.path.isdir(folder):
        raise Refused(f"{job.output}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise Refused(f"{job.output}: cannot write in the folder {folder}")


@dataclass
class Runner:
    """Runs jobs on threads, keeps the temporary files of the jobs under way,
    and draws the progress line."""

    command: str
    overwrite: bool
    stdin: TextIO | None
    stdout: TextIO | None
    stderr: TextIO
    verbose: bool
    progress: bool
    total: int = 0
    done: int = 0
    failed: int = 0
    read: int = 0
    started: float = field(default_factory=time.monotonic)
    lock: threading.Lock = field(default_factory=threading.Lock)
    cancelled: bool = False
    temporaries: set[str] = field(default_factory=set)
    drawn: bool = False
    writing: tuple[int, int] | None = None  # one file's output: bytes written, of all

    # -- messages (under the lock: workers and the progress line share stderr)

    def say(self, text: str) -> None:
        with self.lock:
            self.clear_line()
            print(text, file=self.stderr, flush=True)
            self.draw()

    def clear_line(self) -> None:
        if self.drawn:
            self.stderr.write("\r\033[K")
            self.drawn = False

    def draw(self) -> None:
        if not self.progress or self.cancelled:
            return
        elapsed = max(time.monotonic() - self.started, 1e-6)
        if self.total <= 1 and elapsed < 1.0:
            return  # one short file needs no progress line
        if self.total == 1 and self.writing is not None:
            line = self.writing_line(elapsed)
        else:
            mb = self.read / 1e6
            line = (f"morvex {self.command}: {self.done}/{self.total} files, "
                    f"{mb:.1f} MB, {mb / elapsed:.1f} MB/s, {elapsed:.1f} s")
        width = shutil.get_terminal_size((80, 24)).columns
        self.stderr.write("\r\033[K" + line[:max(width - 1, 10)])
        self.stderr.flush()
        self.drawn = True

    def writing_line(self, elapsed: float) -> str:
        """One big file: the bytes written of all, the rate and the time left."""
        assert self.writing is not None
        done, total = self.writing
        rate = done / elapsed
        left = (total - done) / rate if rate > 0 else 0.0
        minutes, seconds = divmod(int(left + 0.5), 60)
        return (f"morvex {self.command}: {done / 1e6:.0f}/{total / 1e6:.0f} MB written, "
                f"{rate / 1e6:.0f} MB/s, {minutes}:{seconds:02d} left")

    def tick(self) -> None:
        with self.lock:
            self.draw()

    def report_for(self, name: str) -> Report:
        """With -v, the report of the job on `name`, each line behind that
        name, on standard error; otherwise none."""
        if not self.verbose:
            return None
        return lambda text: self.say("\n".join(f"{name}: {line}" for line in text.splitlines()))

    # -- one job

    def read_input(self, path: str) -> bytes:
        try:
            if path == STDIO:
                if self.stdin is None:
                    raise Refused("no standard input")
                return self.stdin.buffer.read()
            with open(path, "rb") as f:
                return f.read()
        except OSError as e:
            raise Failed(f"{path}: {e.strerror or e}") from None

    def write_output(self, path: str, data: bytes) -> None:
        """Writes `data` as `path`; an OSError is a Failed that names `path`."""
        if path == STDIO:
            if self.stdout is None:
                raise Refused("no standard output")
            self.stdout.buffer.write(data)
            self.stdout.flush()
            return
        try:
            if special_file(path) is not None:
                self.write_into(path, data)
            else:
                self.write_in_place(path, data)
        except OSError as e:
            raise Failed(f"{path}: {e.strerror or e}") from None

    def write_into(self, path: str, data: bytes) -> None:
        """A device or a FIFO is written into, never replaced."""
        with self.lock:
            if self.cancelled:
                return
        with open(os.open(path, os.O_WRONLY), "wb") as f:
            f.write(data)

    def write_in_place(self, path: str, data: bytes) -> None:
        """A regular file is written to a temporary file in its folder, then
        put in place whole."""
        folder = os.path.dirname(path) or "."
        temporary = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(4)}.part")
        with self.lock:
            if self.cancelled:
                return
            self.temporaries.add(temporary)
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            with open(fd, "wb") as f:
                f.write(data)
            with self.lock:
                if self.cancelled:
                    return
                self.place(temporary, path)
        finally:
            with self.lock:
                self.temporaries.discard(temporary)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)

    def place(self, temporary: str, path: str) -> None:
        if self.overwrite:
            os.replace(temporary, path)
            return
        # A hard link fails if the name was taken meanwhile, where a rename
        # would replace it; a file system without links gets the rename.
        try:
            os.link(temporary, path)
        except FileExistsError:
            raise Refused(f"{path}: already exists (use -y to overwrite)") from None
        except OSError:
            if os.path.lexists(path):
                raise Refused(f"{path}: already exists (use -y to overwrite)") from None
            os.replace(temporary, path)

    def convert(self, job: Job, data: list[bytes]) -> bytes:
        """The job's work; its failures become Failed that name the input
        they are about."""
        command = COMMANDS[self.command]
        try:
            return command.run(data, job.inputs[0], self.report_for(job.inputs[0]))
        except (ValueError, NotImplementedError) as e:
            at = culprit(self.command, data)
            name = job.inputs[at]
            english = in_english(str(e))
            raise Failed(f"{name}: {e}", english and f"in English: {english}",
                         hint(self.command, name, data[at], str(e))) from None
        except MemoryError as e:
            # The module's MemoryError says how many bytes it asked for.
            reason = f"out of memory: {e}" if str(e) else "out of memory"
            raise Failed(f"{job.inputs[0]}: {reason}", memory_advice(job)) from None

    def heads(self, job: Job) -> list[bytes]:
        """The first megabyte of each input, which tells its kind."""
        out = []
        for path in job.inputs:
            with contextlib.suppress(OSError), open(path, "rb") as f:
                out.append(f.read(1 << 20))
                continue
            out.append(b"")
        return out

    def write_from_files(self, job: Job, function: str, start: float = 0.0, end: float | None = None,
                         exact: bool = False) -> int:
        """The job from its input files into its output file, in bounded
        memory: written to a temporary file in the output's folder (which
        Ctrl-C removes) and put in place whole."""
        path = job.output
        folder = os.path.dirname(path) or "."
        temporary = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(4)}.part")
        with self.lock:
            if self.cancelled:
                return 0
            self.temporaries.add(temporary)
        try:
            try:
                fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
            except OSError as e:
                raise Failed(f"{path}: {e.strerror or e}") from None
            try:
                size: int = _morvex._write_file(function, job.inputs, fd, progress=self.progress_of(job), start=start, end=end,
                                                exact=exact,
                                                report=self.report_for(job.inputs[0]))
            except (ValueError, NotImplementedError) as e:
                message = str(e)
                # concat names the part at fault by its index.
                part = re.match(r"Part (\d+)(: | )(.*)", message, re.S) if self.command == "concat" else None
                if part and int(part.group(1)) < len(job.inputs):
                    detail = part.group(3) if part.group(2) == ": " else message
                    raise Failed(f"{job.inputs[int(part.group(1))]}: {detail}") from None
                data = self.heads(job)
                at = culprit(self.command, data)
                english = in_english(message)
                raise Failed(f"{job.inputs[at]}: {message}", english and f"in English: {english}",
                             hint(self.command, job.inputs[at], data[at], message)) from None
            except MemoryError as e:
                raise Failed(f"{job.inputs[0]}: out of memory" + (f": {e}" if str(e) else ""),
                             memory_advice(job)) from None
            except OSError as e:
                raise Failed(f"{e.filename or path}: {e.strerror or e}") from None
            finally:
                os.close(fd)
            with self.lock:
                if self.cancelled:
                    return 0
                self.place(temporary, path)
            return size
        finally:
            with self.lock:
                self.temporaries.discard(temporary)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)

    def progress_of(self, job: Job) -> Callable[[str, int, int], object] | None:
        """A single job on a terminal shows how far its output has come."""
        if not self.progress or self.total != 1:
            return None

        def show(_phase: str, done: int, total: int) -> None:
            with self.lock:
                self.writing = (done, total)
                self.draw()
        return show

    def run(self, job: Job) -> None:
        name = job.inputs[0]
        try:
            check_output(job, self.overwrite)
            start = time.monotonic()
            function = from_files(job, self.command)
            if function is not None:
                sizes = [os.path.getsize(p) for p in job.inputs]
                written = self.write_from_files(job, function)
                job.seconds = time.monotonic() - start
                with self.lock:
                    self.done += 1
                    job.size = sum(sizes)
                    self.read += job.size
                if self.verbose:
                    self.say(f"{name} -> {job.output} ({written / 1e6:.1f} MB in {job.seconds:.2f} s)")
                else:
                    self.tick()
                return
            data = [self.read_input(p) for p in job.inputs]
            result = self.convert(job, data)
            job.seconds = time.monotonic() - start
            self.write_output(job.output, result)
        except Refused as e:
            self.fail(str(e))
        except Failed as e:
            self.fail(str(e), *e.more)
        except BrokenPipeError:
            # The reader of standard output went away (`morvex ... - | head`):
            # later writes, and the flush at exit, go nowhere.
            with contextlib.suppress(OSError):
                os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
            self.fail("standard output closed")
        except MemoryError:
            self.fail(f"{name}: out of memory")
        except Exception as e:  # noqa: BLE001 - one job's fault must not stop the batch
            self.fail(f"{name}: {type(e).__name__}: {e}")
        else:
            with self.lock:
                self.done += 1
                job.size = sum(map(len, data))
                self.read += job.size
            if self.verbose:
                self.say(f"{name} -> {job.output} ({len(result) / 1e6:.1f} MB in {job.seconds:.2f} s)")
            else:
                self.tick()

    def fail(self, message: str, *more: str) -> None:
        with self.lock:
            self.failed += 1
        self.say(f"morvex {self.command}: {message}")
        for line in more:
            self.say(f"morvex: {line}")

    def cancel(self) -> None:
        """Ctrl-C: no job renames its output any more, and the temporary
        files of the jobs under way go."""
        with self.lock:
            self.cancelled = True
            for temporary in self.temporaries:
                with contextlib.suppress(OSError):
                    os.unlink(temporary)
            self.clear_line()

    def run_all(self, jobs: list[Job], threads: int) -> None:
        """Workers are daemon threads, so that Ctrl-C ends the process at
        once, without waiting for the conversions under way."""
        self.total = len(jobs)
        pending = list(reversed(jobs))
        take = threading.Lock()

        def worker() -> None:
            while not self.cancelled:
                with take:
                    if not pending:
                        return
                    job = pending.pop()
                self.run(job)

        workers = [threading.Thread(target=worker, name="morvex-job", daemon=True)
                   for _ in range(max(1, min(threads, len(jobs))))]
        for w in workers:
            w.start()
        # The main thread only waits, in short steps, so that it sees Ctrl-C
        # while the workers are inside a conversion.
        for w in workers:
            while w.is_alive():
                w.join(0.2)
                self.tick()
        with self.lock:
            if self.drawn:
                self.stderr.write("\n")
                self.stderr.flush()
                self.drawn = False


def fragment_segments(runner: Runner, jobs: list[Job], outdir: str) -> None:
    """The segments of one live stream, in order, through one transmuxer:
    OUTDIR/init.mp4, and for each segment a .m4s with that segment's own
    pictures and audio, on one timeline, and OUTDIR/index.m3u8, their HLS
    playlist. The files are written into a new folder beside OUTDIR and put
    in place once all are written, so a failure or Ctrl-C leaves OUTDIR as
    it was. Stops at the first segment that fails."""
    runner.total = len(jobs)
    init_job = Job([jobs[0].inputs[0]], os.path.join(outdir, "init.mp4"))
    playlist_job = Job([jobs[0].inputs[0]], os.path.join(outdir, "index.m3u8"))
    for own in (init_job, playlist_job):
        if any(os.path.abspath(j.output) == os.path.abspath(own.output) for j in jobs):
            runner.fail(f"a segment would write {own.output}")
            return
    t = _morvex.TransportStreamTransmuxer()
    name = jobs[0].inputs[0]
    parent = os.path.dirname(os.path.abspath(outdir))
    staging = os.path.join(parent, f".{os.path.basename(os.path.abspath(outdir))}.{secrets.token_hex(4)}.part")
    with runner.lock:
        runner.temporaries.add(staging)
    try:
        for job in [init_job, *jobs, playlist_job]:
            check_output(job, runner.overwrite)
        os.mkdir(staging)
        written: list[str] = []
        for job in jobs:
            name = job.inputs[0]
            data = runner.read_input(name)
            out = t.push(data, end_of_segment=True, report=runner.report_for(name))
            init = t.init_segment
            if init is not None and out.startswith(init) and init_job.output not in written:
                runner.write_output(os.path.join(staging, "init.mp4"), init)
                written.append(init_job.output)
                out = out[len(init):]
            runner.write_output(os.path.join(staging, os.path.basename(job.output)), out)
            written.append(job.output)
            with runner.lock:
                runner.done += 1
                runner.read += len(data)
            if runner.verbose:
                runner.say(f"{name} -> {job.output} ({len(out) / 1e6:.1f} MB)")
            else:
                runner.tick()
        if t.init_segment is None:
            raise ValueError("No video data found")
        segment_files = [(os.path.basename(p), (Path(staging) / os.path.basename(p)).read_bytes())
                         for p in written if p != init_job.output]
        runner.write_output(os.path.join(staging, "index.m3u8"), live_playlist(t.init_segment, segment_files).encode())
        written.append(playlist_job.output)
        with runner.lock:
            if runner.cancelled:
                return
            put_in_place(staging, outdir, written)
    except Refused as e:
        runner.fail(str(e))
    except Failed as e:
        runner.fail(str(e), *e.more)
    except ValueError as e:
        runner.fail(f"{name}: {e}")
    except MemoryError as e:
        runner.fail(f"{name}: out of memory" + (f": {e}" if str(e) else ""))
    except OSError as e:
        runner.fail(f"{outdir}: {e.strerror or e}")
    finally:
        with runner.lock:
            runner.temporaries.discard(staging)
        shutil.rmtree(staging, ignore_errors=True)


def boxes_of(data: bytes, kind: bytes) -> Iterator[bytes]:
    """The payloads of the top-level boxes of type `kind` in `data`."""
    for found, start, end in top_level_boxes(data):
        if found == kind:
            yield data[start:end]


def track_timescales(init: bytes) -> dict[int, tuple[int, bool]]:
    """Each track's timescale (mdhd, ISO/IEC 14496-12 8.4.2) and whether it
    is video (hdlr 'vide'), by track_ID (tkhd 8.3.2), from an init segment."""
    tracks = {}
    for moov in boxes_of(init, b"moov"):
        for trak in boxes_of(moov, b"trak"):
            tkhd = next(boxes_of(trak, b"tkhd"), b"")
            mdia = next(boxes_of(trak, b"mdia"), b"")
            mdhd = next(boxes_of(mdia, b"mdhd"), b"")
            hdlr = next(boxes_of(mdia, b"hdlr"), b"")
            if len(tkhd) < 24 or len(mdhd) < 24 or len(hdlr) < 12:
                continue
            track_id = int.from_bytes(tkhd[20:24] if tkhd[0] == 1 else tkhd[12:16], "big")
            timescale = int.from_bytes(mdhd[20:24] if mdhd[0] == 1 else mdhd[12:16], "big")
            tracks[track_id] = (timescale, hdlr[8:12] == b"vide")
    return tracks


def fragment_durations(segment: bytes) -> dict[int, int]:
    """The samples' durations together of each track in the fragments of a
    segment, from each trun (8.8.8) or its tfhd's default (8.8.7), by
    track_ID. (The transmuxer writes every sample's duration.)"""
    durations: dict[int, int] = {}
    for moof in boxes_of(segment, b"moof"):
        for traf in boxes_of(moof, b"traf"):
            tfhd = next(boxes_of(traf, b"tfhd"), b"")
            if len(tfhd) < 8:
                continue
            flags = int.from_bytes(tfhd[1:4], "big")
            track_id = int.from_bytes(tfhd[4:8], "big")
            at = 8 + (8 if flags & 0x1 else 0) + (4 if flags & 0x2 else 0)
            default = int.from_bytes(tfhd[at:at + 4], "big") if flags & 0x8 else 0
            for trun in boxes_of(traf, b"trun"):
                flags = int.from_bytes(trun[1:4], "big")
                count = int.from_bytes(trun[4:8], "big")
                at = 8 + (4 if flags & 0x1 else 0) + (4 if flags & 0x4 else 0)
                record = 4 * bin(flags & 0xF00).count("1")
                if not flags & 0x100:
                    durations[track_id] = durations.get(track_id, 0) + default * count
                    continue
                total = sum(int.from_bytes(trun[at + k * record:at + k * record + 4], "big")
                            for k in range(min(count, (len(trun) - at) // max(record, 1))))
                durations[track_id] = durations.get(track_id, 0) + total
    return durations


def live_playlist(init: bytes, segments: list[tuple[str, bytes]]) -> str:
    """An HLS media playlist (RFC 8216) of the fragmented segments written
    by `fragment -d`: EXT-X-MAP naming init.mp4, each non-empty segment's
    EXTINF (its video's duration, else its longest track's, to the
    millisecond), EXT-X-TARGETDURATION (4.3.3.1) and EXT-X-ENDLIST."""
    tracks = track_timescales(init)
    entries = []
    for name, data in segments:
        seconds = {track: ticks / tracks[track][0] for track, ticks in fragment_durations(data).items()
                   if track in tracks and tracks[track][0]}
        if not seconds:
            continue
        video = [v for track, v in seconds.items() if tracks[track][1]]
        entries.append((name, round(max(video or seconds.values()), 3)))
    target = max([1] + [int(d + 0.5) for _, d in entries])
    lines = ["#EXTM3U", "#EXT-X-VERSION:7", f"#EXT-X-TARGETDURATION:{target}", "#EXT-X-PLAYLIST-TYPE:VOD",
             '#EXT-X-MAP:URI="init.mp4"']
    for name, duration in entries:
        lines += [f"#EXTINF:{duration:.3f},", name]
    return "\n".join(lines + ["#EXT-X-ENDLIST", ""])


def put_in_place(staging: str, outdir: str, written: list[str]) -> None:
    """The staged folder becomes OUTDIR when OUTDIR is empty; otherwise each
    file moves into OUTDIR, replacing the one of an earlier run."""
    with contextlib.suppress(OSError):
        os.rmdir(outdir)  # only when it is empty
    if not os.path.lexists(outdir):
        os.rename(staging, outdir)
        return
    for path in written:
        os.replace(os.path.join(staging, os.path.basename(path)), path)


# --- command line -----------------------------------------------------------------

def parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The parser, and the parser of each command (for its usage errors)."""
    p = argparse.ArgumentParser(
        prog="morvex",
        description="Convert and repair video containers.",
        epilog="Run `morvex COMMAND -h` for the options of a command.")
    p.add_argument("--version", action="version", version=f"morvex {_morvex.__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands = {}
    for name, command in COMMANDS.items():
        if name == "mux":
            usage = "morvex mux VIDEO AUDIO OUT | morvex mux VIDEO AUDIO [VIDEO AUDIO ...] -d OUTDIR"
            paths_help = "a video MP4 and an audio MP4, then the output (without -d)"
        elif name == "recover":
            usage = ("morvex recover BROKEN OUT [--reference GOOD] | "
                     "morvex recover BROKEN [BROKEN ...] -d OUTDIR [--reference GOOD]")
            paths_help = "the recordings cut short, then the output (when there is one input and no -d)"
        else:
            usage = f"morvex {name} IN OUT | morvex {name} IN [IN ...] -d OUTDIR"
            paths_help = "the inputs, then the output (when there is one input and no -d)"
        c = sub.add_parser(name, help=command.help, description=command.help, usage=usage + " [options]")
        c.add_argument("paths", nargs="+", metavar="PATH", help=paths_help + "; '-' is standard input or output")
        if name == "recover":
            c.add_argument("--reference", metavar="GOOD",
                           help="a healthy MP4 from the same recorder (same codecs and settings), which describes "
                                "the samples of a file whose moov is missing")
        c.add_argument("-d", "--outdir", metavar="OUTDIR",
                       help=f"write each input's result to OUTDIR/NAME{command.suffix} (OUTDIR is made if need be)")
        c.add_argument("-j", "--jobs", type=jobs_count, default=1, metavar="N",
                       help="run N jobs at once on threads (0: one per CPU; default 1)")
        c.add_argument("-y", "--overwrite", action="store_true", help="replace existing outputs")
        talk = c.add_mutually_exclusive_group()
        talk.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors (no progress)")
        talk.add_argument("-v", "--verbose", action="store_true",
                          help="print a line per file and the demultiplexer's report, on standard error")
        commands[name] = c
    add_movie_commands(sub, commands)
    return p, commands


# --- probe, clip, concat ------------------------------------------------------------

def seconds(text: str) -> float:
    """A time: seconds (1.5), or [HH:]MM:SS.mmm (00:01:02.500)."""
    try:
        parts = [float(p) for p in text.split(":")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a time: {text!r} (seconds, or HH:MM:SS.mmm)") from None
    if not 1 <= len(parts) <= 3 or any(p < 0 for p in parts[:-1]):
        raise argparse.ArgumentTypeError(f"not a time: {text!r} (seconds, or HH:MM:SS.mmm)")
    total = 0.0
    for p in parts:
        total = total * 60 + p
    return total


def add_movie_commands(sub: argparse._SubParsersAction[argparse.ArgumentParser],
                       commands: dict[str, argparse.ArgumentParser]) -> None:
    help = "what a TS, an MP4 or a fragmented MP4 holds: tracks, codecs, times"
    c = sub.add_parser("probe", help=help, description=help, usage="morvex probe FILE [FILE ...] [--json]")
    c.add_argument("paths", nargs="+", metavar="FILE")
    c.add_argument("--json", action="store_true", help="print morvex.probe's dict (a list of them for several files)")
    commands["probe"] = c
    help = "a time range of a TS or an MP4, as an MP4, without re-encoding"
    c = sub.add_parser("clip", help=help, description=help,
                       usage="morvex clip IN OUT --start S [--end E] [--exact] [options]")
    c.add_argument("paths", nargs=2, metavar="PATH", help="the input, then the output")
    c.add_argument("--start", type=seconds, required=True, metavar="S", help="seconds, or HH:MM:SS.mmm")
    c.add_argument("--end", type=seconds, metavar="E", help="seconds, or HH:MM:SS.mmm (default: the end)")
    c.add_argument("--exact", action="store_true",
                   help="show exactly from S to E (edit lists hide the pictures before S)")
    commands["clip"] = c
    help = "join TS and MP4 recordings or segments one after the other, as an MP4"
    c = sub.add_parser("concat", help=help, description=help, usage="morvex concat IN [IN ...] -o OUT [options]")
    c.add_argument("paths", nargs="+", metavar="IN")
    c.add_argument("-o", "--output", required=True, metavar="OUT")
    commands["concat"] = c
    help = "HLS and DASH of a TS or an MP4: CMAF tracks, their playlists and manifest, in a folder"
    c = sub.add_parser("package", help=help, description=help,
                       usage="morvex package IN -d OUTDIR [--segment S] [--byte-range] [options]")
    c.add_argument("paths", nargs=1, metavar="IN", help="the input; '-' is standard input")
    c.add_argument("-d", "--outdir", required=True, metavar="OUTDIR",
                   help="the folder of the tree (master.m3u8, manifest.mpd, video/, audio/ ...)")
    c.add_argument("--segment", type=positive_seconds, default=6.0, metavar="S",
                   help="segment duration in seconds: a segment begins at the first key frame at or after each "
                        "multiple of S (default 6)")
    c.add_argument("--byte-range", action="store_true",
                   help="one media file per track, addressed by byte ranges (EXT-X-BYTERANGE, DASH SegmentBase)")
    commands["package"] = c
    for name in ("clip", "concat", "package"):
        c = commands[name]
        c.add_argument("-y", "--overwrite", action="store_true", help="replace an existing output")
        talk = c.add_mutually_exclusive_group()
        talk.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors (no progress)")
        talk.add_argument("-v", "--verbose", action="store_true", help="print a line for the file written")


def positive_seconds(text: str) -> float:
    """A segment duration: seconds, or HH:MM:SS.mmm, above 0."""
    value = seconds(text)
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive time: {text!r}")
    return value


def package_tree(args: argparse.Namespace, stderr: TextIO) -> int:
    """morvex package IN -d OUTDIR: the tree of morvex.package_cmaf written
    into a new folder beside OUTDIR, which is then renamed into place (an
    existing OUTDIR that is not empty is replaced only with -y, and only
    once the new tree is whole), so a failure or Ctrl-C leaves OUTDIR as it
    was."""
    source: str = args.paths[0]
    outdir: str = args.outdir
    target = os.path.abspath(outdir)
    parent = os.path.dirname(target)
    staging = os.path.join(parent, f".{os.path.basename(target)}.{secrets.token_hex(4)}.part")
    started = time.monotonic()

    def fail(message: str) -> int:
        print(f"morvex package: {message}", file=stderr, flush=True)
        return 1

    if os.path.lexists(outdir) and not os.path.isdir(outdir):
        return fail(f"{outdir}: not a directory")
    if os.path.isdir(outdir) and os.listdir(outdir) and not args.overwrite:
        return fail(f"{outdir}: already exists and is not empty (use -y to replace it)")
    try:
        os.makedirs(parent, exist_ok=True)
        data = sys.stdin.buffer.read() if source == STDIO else read_mapped(source)
    except OSError as e:
        return fail(f"{e.filename or outdir}: {e.strerror or e}")
    try:
        try:
            tree = _morvex.package_cmaf(data, args.segment, byte_range=args.byte_range)
        finally:
            if isinstance(data, mmap.mmap):
                data.close()
    except ValueError as e:
        return fail(f"{source}: {e}")
    except MemoryError as e:
        return fail(f"{source}: out of memory" + (f": {e}" if str(e) else ""))
    try:
        os.mkdir(staging)
        for path, content in tree.items():
            file = os.path.join(staging, *path.split("/"))
            os.makedirs(os.path.dirname(file), exist_ok=True)
            with open(file, "wb") as f:
                f.write(content)
        old = None
        if os.path.isdir(outdir):
            if os.listdir(outdir):
                old = os.path.join(parent, f".{os.path.basename(target)}.{secrets.token_hex(4)}.old")
                os.rename(outdir, old)
            else:
                os.rmdir(outdir)
        try:
            os.rename(staging, outdir)
        except BaseException:
            if old is not None:
                os.rename(old, outdir)
            raise
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)
    except OSError as e:
        return fail(f"{outdir}: {e.strerror or e}")
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    if args.verbose:
        size = sum(map(len, tree.values()))
        print(f"{source} -> {outdir} ({len(tree)} files, {size / 1e6:.1f} MB in {time.monotonic() - started:.2f} s)",
              file=stderr, flush=True)
    return 0


def describe(name: str, facts: Probe) -> list[str]:
    """morvex.probe's dict as a few lines to read."""
    lines = [f"{name}: {facts['format']}, {facts['duration']:.3f} s"]
    for t in facts["tracks"]:
        kind = t["kind"]
        what = f"{t['codec']} ({t['codec_string']})"
        if kind == "video":
            what += f", {t.get('width')}x{t.get('height')}, {t.get('frame_rate', 0):.3f} fps"
        else:
            what += f", {t.get('sample_rate')} Hz, {t.get('channels')} ch"
        frames = f"{t['frames']} frames" + (f" ({t['key_frames']} key)" if kind == "video" else "")
        language = f" [{t['language']}]" if "language" in t else ""
        lines.append(f"  {kind} {t['id']}: {what}, {frames}, {t['bitrate'] / 1000:.0f} kb/s, "
                     f"from {t['start_time']:.3f} s for {t['duration']:.3f} s{language}")
    return lines


def read_mapped(path: str) -> bytes | mmap.mmap:
    """A file mapped for reading (an empty one as b"")."""
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            return b""
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


def probe_files(args: argparse.Namespace) -> int:
    failed = 0
    found: list[Probe] = []
    for path in args.paths:
        try:
            data = read_mapped(path)
            try:
                facts = _morvex.probe(data)
            finally:
                if isinstance(data, mmap.mmap):
                    data.close()
        except (ValueError, OSError) as e:
            failed += 1
            reason = e.strerror if isinstance(e, OSError) and e.strerror else str(e)
            print(f"morvex probe: {path}: {reason}", file=sys.stderr)
            continue
        found.append(facts)
        if not args.json:
            print("\n".join(describe(path, facts)))
    if args.json:
        print(json.dumps(found[0] if len(args.paths) == 1 and found else found, indent=2))
    return 1 if failed else 0


def clip_or_concat(args: argparse.Namespace, stderr: TextIO) -> int:
    """One output from files: morvex clip IN OUT ..., morvex concat IN ... -o OUT."""
    inputs = args.paths[:1] if args.command == "clip" else args.paths
    output = args.paths[1] if args.command == "clip" else args.output
    job = Job(list(inputs), output)
    runner = Runner(command=args.command, overwrite=args.overwrite, stdin=None, stdout=None, stderr=stderr,
                    verbose=args.verbose, progress=not args.quiet and stderr.isatty(), total=1)
    try:
        check_output(job, args.overwrite)
        for path in inputs:
            if path == STDIO or not os.path.isfile(path):
                raise Refused(f"{path}: not a file")
        start = time.monotonic()
        if args.command == "clip":
            written = runner.write_from_files(job, "clip", start=args.start, end=args.end, exact=args.exact)
        else:
            written = runner.write_from_files(job, "concat")
        if args.verbose:
            runner.say(f"{output} ({written / 1e6:.1f} MB in {time.monotonic() - start:.2f} s)")
    except Refused as e:
        runner.fail(str(e))
    except Failed as e:
        runner.fail(str(e), *e.more)
    runner.clear_line()
    return 1 if runner.failed else 0


def jobs_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if n < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return n or (os.cpu_count() or 1)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns its
    exit status; a usage error exits with status 2 through argparse."""
    top, commands = parser()
    args = top.parse_args(argv)
    stderr = sys.stderr
    if args.command == "probe":
        return probe_files(args)
    if args.command in ("clip", "concat", "package"):
        try:
            return package_tree(args, stderr) if args.command == "package" else clip_or_concat(args, stderr)
        except KeyboardInterrupt:
            print(f"morvex {args.command}: interrupted", file=stderr, flush=True)
            return 130
    try:
        jobs = plan(args)
    except Usage as e:
        commands[args.command].error(str(e))  # exits with status 2
    try:
        if args.outdir is not None:
            make_outdir(args.outdir)
    except Refused as e:
        print(f"morvex {args.command}: {e}", file=stderr)
        return 1
    runner = Runner(
        command=args.command,
        overwrite=args.overwrite,
        stdin=sys.stdin,
        stdout=sys.stdout,
        stderr=stderr,
        verbose=args.verbose,
        progress=not args.quiet and stderr.isatty(),
    )
    try:
        if args.command == "fragment" and args.outdir is not None:
            fragment_segments(runner, jobs, args.outdir)
        else:
            runner.run_all(jobs, args.jobs)
    except KeyboardInterrupt:
        runner.cancel()
        print(f"morvex {args.command}: interrupted", file=stderr, flush=True)
        return 130
    return 1 if runner.failed else 0


def entry() -> None:
    """The console script: Ctrl-C before the jobs start ends it as quietly."""
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("morvex: interrupted", file=sys.stderr)
        sys.exit(130)


if __name__ == "__main__":
    entry()
