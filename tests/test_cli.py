"""The command line: files in, the module's result out, with the conventions
of gzip, cp and FFmpeg (several inputs, -d, -j, '-', refusals, no partial
files, exit statuses)."""

import errno
import io
import os
import re
import shutil
import stat
import subprocess
import sys
import threading
from pathlib import Path

import av
import pytest

import morvex
from morvex import cli
from morvex.cli import FRAGMENTED, REGULAR, TS, looks_like_ts, main, sniff
from toolkit import FIXTURES, IN_CI, made
from toolkit.mp4 import ftyp, moov, mvhd, trak

TS_FILES = ["video_only.ts", "bframes_48k_stereo.ts", "mono_44k.ts"]


def child_env():
    # The child imports the same build of the package as this process.
    path = [str(Path(morvex.__file__).parent.parent), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    return env


def script():
    """The console script installed beside the interpreter, if any."""
    found = Path(sys.executable).with_name("morvex")
    if found.exists():
        return [str(found)]
    if IN_CI:
        pytest.fail("the morvex console script is not installed")
    pytest.skip("the morvex console script is not installed (development build)")


LAUNCHERS = {"python -m morvex": lambda: [sys.executable, "-m", "morvex"], "morvex": script}


def frame_count(path: Path) -> int:
    with av.open(str(path)) as container:
        return sum(1 for _ in container.decode(video=0))


@pytest.mark.parametrize("launcher", LAUNCHERS, ids=list(LAUNCHERS))
def test_launchers_convert_a_file_and_tell_the_version(tmp_path, launcher):
    source = FIXTURES / "bframes_48k_stereo.ts"
    out = tmp_path / "out.mp4"
    command = LAUNCHERS[launcher]()
    done = subprocess.run([*command, "convert", str(source), str(out), "-v"], env=child_env(),
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert out.read_bytes() == morvex.convert_ts_to_mp4(source.read_bytes())
    # With -v the demultiplexer's report goes to standard error, behind the
    # input's name; standard output stays the result's.
    assert f"{source}: Found PIDs - Video: 256, Audio: 257\n" in done.stderr
    assert done.stdout == ""
    version = subprocess.run([*command, "--version"], env=child_env(), capture_output=True, text=True)
    assert (version.returncode, version.stdout) == (0, f"morvex {morvex.__version__}\n")


# command, inputs, the module call the output must equal
COMMANDS = [
    ("convert", ["video_only.ts"], lambda d: morvex.convert_ts_to_mp4(*d)),
    ("defragment", ["av_frag.mp4"], lambda d: morvex.defragment_mp4(*d)),
    ("reset", ["av_regular.mp4"], lambda d: morvex.reset_mp4_timestamps(*d)),
    ("mux", ["video_frag.mp4", "audio_frag.mp4"], lambda d: morvex.mux_fmp4_tracks(*d)),
    ("fragment", ["bframes_48k_stereo.ts"], lambda d: morvex.convert_ts_to_fmp4(*d)),
    ("thumbnail", ["video_only.ts"], lambda d: morvex.extract_thumbnail_from_ts(*d)),
    ("thumbnail", ["av_regular.mp4"], lambda d: morvex.extract_thumbnail_from_mp4(*d)),
    ("recover", ["av_frag.mp4"], lambda d: morvex.recover_mp4(*d)),
]


@pytest.mark.parametrize("command,inputs,call", COMMANDS, ids=[f"{c[0]}-{c[1][0]}" for c in COMMANDS])
def test_commands_write_the_module_result(tmp_path, command, inputs, call):
    out = tmp_path / "out"
    assert main([command, *(str(FIXTURES / i) for i in inputs), str(out)]) == 0
    assert out.read_bytes() == call([(FIXTURES / i).read_bytes() for i in inputs])
    # Nothing but the output is left in the folder (no temporary file).
    assert os.listdir(tmp_path) == ["out"]


def test_recover_takes_a_reference(tmp_path, capsys):
    broken, good = tmp_path / "broken.mp4", tmp_path / "good.mp4"
    broken.write_bytes(made.recording("ffmpeg-h264")[:100_000])
    good.write_bytes(made.recording("ffmpeg-h264", 2))
    assert main(["recover", str(broken), "-d", str(tmp_path / "out"), "--reference", str(good)]) == 0
    assert (tmp_path / "out" / "broken.mp4").read_bytes() == morvex.recover_mp4(broken.read_bytes(), good.read_bytes())
    # The reference is an input: no output replaces it.
    assert main(["recover", str(broken), str(good), "--reference", str(good), "-y"]) == 1
    assert capsys.readouterr().err == f"morvex recover: {good}: is the input {good}; not writing over it\n"


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_batch_into_a_folder(tmp_path, jobs):
    sources = [str(FIXTURES / name) for name in TS_FILES]
    tmp_path = tmp_path / "made" / "by -d"  # -d makes its folder
    assert main(["convert", *sources, "-d", str(tmp_path), "-j", jobs, "-q"]) == 0
    assert sorted(os.listdir(tmp_path)) == sorted(Path(n).stem + ".mp4" for n in TS_FILES)
    for name in TS_FILES:
        out = tmp_path / (Path(name).stem + ".mp4")
        assert out.read_bytes() == morvex.convert_ts_to_mp4((FIXTURES / name).read_bytes())
    # A player sees every picture of the source.
    assert frame_count(tmp_path / "bframes_48k_stereo.mp4") == 50


def test_fragment_live_segments_into_a_folder(tmp_path, capsys):
    segments = [FIXTURES / "hls_ts_a" / f"seg{n}.ts" for n in (0, 1)]
    assert main(["fragment", *map(str, segments), "-d", str(tmp_path)]) == 0
    names = ["init.mp4", "seg0.m4s", "seg1.m4s"]
    assert sorted(os.listdir(tmp_path)) == ["index.m3u8", *names]
    first = {n: (tmp_path / n).read_bytes() for n in names}
    # FFmpeg's HLS demuxer plays the segments through their playlist.
    assert frame_count(tmp_path / "index.m3u8") == 25
    # Each .m4s holds its own segment's pictures, one after the other.
    for n, segment in enumerate(segments):
        (tmp_path / "one.mp4").write_bytes(first["init.mp4"] + first[f"seg{n}.m4s"])
        assert frame_count(tmp_path / "one.mp4") == frame_count(segment)
    (tmp_path / "one.mp4").unlink()
    (tmp_path / "all.mp4").write_bytes(b"".join(first.values()))
    assert frame_count(tmp_path / "all.mp4") == 25
    with av.open(str(tmp_path / "all.mp4")) as c:
        times = sorted(float(f.pts * f.time_base) for f in c.decode(video=0))
    assert all(b - a == pytest.approx(times[1] - times[0], abs=0.002) for a, b in zip(times, times[1:]))
    (tmp_path / "all.mp4").unlink()
    # Existing outputs are not overwritten without -y; with it, a second run
    # writes the same files.
    assert main(["fragment", *map(str, segments), "-d", str(tmp_path)]) == 1
    assert "init.mp4: already exists" in capsys.readouterr().err
    assert main(["fragment", *map(str, segments), "-d", str(tmp_path), "-y"]) == 0
    assert {n: (tmp_path / n).read_bytes() for n in names} == first


def test_fragment_segments_without_video_fail(tmp_path, capsys):
    bad = tmp_path / "bad.ts"
    bad.write_bytes(b"\x00" * 400)
    out = tmp_path / "out"
    out.mkdir()
    assert main(["fragment", str(bad), "-d", str(out)]) == 1
    assert "bad.ts: No valid TS sync byte found" in capsys.readouterr().err
    assert os.listdir(out) == []


def test_batch_of_thumbnails_and_mux_pairs(tmp_path):
    # The README's `morvex thumbnail *.mp4 -d thumbs`, where thumbs is new.
    assert main(["thumbnail", str(FIXTURES / "video_only.ts"), str(FIXTURES / "av_regular.mp4"),
                 "-d", str(tmp_path / "thumbs"), "-j", "2"]) == 0
    assert sorted(os.listdir(tmp_path / "thumbs")) == ["av_regular.h264", "video_only.h264"]
    pair = [str(FIXTURES / "video_frag.mp4"), str(FIXTURES / "audio_frag.mp4")]
    assert main(["mux", *pair, "-d", str(tmp_path)]) == 0
    assert (tmp_path / "video_frag.mp4").exists()


def test_a_failing_file_does_not_stop_the_batch(tmp_path, capsys):
    bad = tmp_path / "bad.ts"
    bad.write_bytes(b"\x00" * 400)
    outdir = tmp_path / "out"
    outdir.mkdir()
    assert main(["convert", str(bad), str(FIXTURES / "video_only.ts"), "-d", str(outdir), "-j", "2"]) == 1
    assert os.listdir(outdir) == ["video_only.mp4"]
    assert f"morvex convert: {bad}: No valid TS sync byte found" in capsys.readouterr().err


def run_child(args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "morvex", *args], input=stdin, env=child_env(),
                          capture_output=True)


def test_standard_input_and_output(tmp_path):
    source = (FIXTURES / "av_frag.mp4").read_bytes()
    done = run_child(["defragment", "-", "-"], stdin=source)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == morvex.defragment_mp4(source)
    # '-' on one side only.
    out = tmp_path / "out.mp4"
    assert run_child(["defragment", "-", str(out)], stdin=source).returncode == 0
    assert out.read_bytes() == morvex.defragment_mp4(source)
    done = run_child(["defragment", str(FIXTURES / "av_frag.mp4"), "-"])
    assert done.stdout == morvex.defragment_mp4(source)


def reporting_job(data, name, report):
    # A job that reports as the demultiplexer does.
    if report is not None:
        report("first line\nsecond line")
    return b"result"


@pytest.mark.parametrize("flags,stderr", [
    ([], ""),                                          # the report only with -v
    (["-v"], "{0}: first line\n{0}: second line\n"),  # behind the input's name
    (["-q"], ""),
])
def test_report_goes_to_standard_error_with_v(monkeypatch, tmp_path, flags, stderr):
    monkeypatch.setitem(cli.COMMANDS, "convert", cli.COMMANDS["convert"]._replace(run=reporting_job))
    out, err = io.TextIOWrapper(io.BytesIO()), io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    source = tmp_path / "in.ts"
    source.write_bytes(b"G")
    assert main(["convert", str(source), "-", *flags]) == 0
    out.flush()
    assert out.buffer.getvalue() == b"result"
    assert err.getvalue().startswith(stderr.format(source))
    assert ("first line" in err.getvalue()) == bool(stderr)


# What is refused: argv (with {placeholders}), the message's start; the
# output must keep its content.
REFUSALS = [
    (["reset", "{copy}", "{out}"], "morvex reset: {out}: already exists (use -y to overwrite)"),
    (["reset", "{copy}", "{copy}", "-y"], "morvex reset: {copy}: is the input {copy}"),
    (["reset", "{copy}", "{link}", "-y"], "morvex reset: {link}: is the input {copy}"),
    (["reset", "{copy}", "{hard}", "-y"], "morvex reset: {hard}: is the input {copy}"),
    (["reset", "{copy}", "-d", "{tmp}", "-y"], "morvex reset: {copy}: is the input {copy}"),
    (["mux", "{copy}", "{other}", "{other}", "-y"], "morvex mux: {other}: is the input {other}"),
]


@pytest.mark.parametrize("argv,message", REFUSALS, ids=["exists", "same", "symlink", "hardlink", "outdir", "mux"])
def test_refusals_keep_the_files(tmp_path, capsys, argv, message):
    copy = tmp_path / "in.mp4"
    shutil.copy(FIXTURES / "av_regular.mp4", copy)
    other = tmp_path / "other.mp4"
    shutil.copy(FIXTURES / "audio_frag.mp4", other)
    out = tmp_path / "out.mp4"
    out.write_bytes(b"keep me")
    (tmp_path / "link.mp4").symlink_to(copy)
    os.link(copy, tmp_path / "hard.mp4")
    paths = {"copy": copy, "out": out, "link": tmp_path / "link.mp4", "hard": tmp_path / "hard.mp4",
             "tmp": tmp_path, "other": other}
    before = {p: p.read_bytes() for p in (copy, other, out)}
    assert main([a.format(**paths) for a in argv]) == 1
    assert capsys.readouterr().err.startswith(message.format(**paths))
    assert {p: p.read_bytes() for p in before} == before
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".part")]


def test_overwrite_with_y(tmp_path):
    out = tmp_path / "out.mp4"
    out.write_bytes(b"old")
    assert main(["convert", str(FIXTURES / "video_only.ts"), str(out), "-y"]) == 0
    assert out.read_bytes() == morvex.convert_ts_to_mp4((FIXTURES / "video_only.ts").read_bytes())


USAGE = "usage: morvex convert IN OUT | morvex convert IN [IN ...] -d OUTDIR [options]\nmorvex convert: error: "

# argv, exit status, start of standard error
FAILURES = [
    (["convert", "{bad}", "{out}"], 1, "morvex convert: {bad}: No valid TS sync byte found\n"),
    (["convert", "{missing}", "{out}"], 1, "morvex convert: {missing}: No such file"),
    # The output's folder is checked before the input is read.
    (["convert", "{bad}", "{tmp}/no/out.mp4"], 1, "morvex convert: {tmp}/no/out.mp4: the folder {tmp}/no does not exist"),
    (["convert", "{bad}", "-d", "{bad}"], 1, "morvex convert: {bad}: not a directory"),
    (["convert", "{bad}"], 2, USAGE + "expected IN OUT, or inputs and -d OUTDIR (got 1 path)"),
    (["convert", "{bad}", "{bad}", "{out}"], 2, USAGE + "expected IN OUT"),
    (["convert", "-", "-d", "{tmp}"], 2, USAGE + "'-' (standard input) needs an output path"),
    (["convert", "{bad}", "{tmp}/x/bad.ts", "-d", "{tmp}"], 2, USAGE + "{bad} and {tmp}/x/bad.ts would both write"),
    (["mux", "{bad}", "{bad}", "{bad}", "-d", "{tmp}"], 2, "usage: morvex mux"),
    (["convert", "{bad}", "{out}", "-j", "-1"], 2, "usage:"),
    (["convert", "{bad}", "{out}", "-q", "-v"], 2, "usage:"),
    (["concat", "{bad}", "{out}"], 2, "usage:"),
]


@pytest.mark.parametrize("argv,status,message", FAILURES, ids=[" ".join(f[0]) for f in FAILURES])
def test_failures_and_exit_statuses(tmp_path, capsys, argv, status, message):
    bad = tmp_path / "bad.ts"
    bad.write_bytes(b"\x00" * 400)
    paths = {"bad": bad, "missing": tmp_path / "missing.ts", "out": tmp_path / "out.mp4", "tmp": tmp_path}
    try:
        rc = main([a.format(**paths) for a in argv])
    except SystemExit as e:  # argparse's usage errors
        rc = e.code
    assert rc == status
    assert capsys.readouterr().err.startswith(message.format(**paths))
    assert not (tmp_path / "out.mp4").exists()
    assert os.listdir(tmp_path) == ["bad.ts"]


TWICE = "in English: track ID 1 appears twice in one file"

# command, inputs (dup.mp4: two tracks with one ID), the input the error
# names, the lines that follow it: a hint only where another command would
# help, an English line for a message that is not English
BLAME = [
    ("defragment", ["video_only.ts"], 0, ["{0} looks like an MPEG transport stream; try `morvex convert`"]),
    ("convert", ["av_frag.mp4"], 0, ["{0} looks like a fragmented MP4; try `morvex defragment`"]),
    ("reset", ["wrap.ts"], 0, ["{0} looks like an MPEG transport stream; try `morvex convert`"]),
    ("defragment", ["av_regular.mp4"], 0, ["{0} looks like a regular MP4; try `morvex reset`"]),
    ("mux", ["video_frag.mp4", "video_only.ts"], 1, ["{1} looks like an MPEG transport stream; try `morvex convert`"]),
    ("mux", ["video_only.ts", "audio_frag.mp4"], 0, ["{0} looks like an MPEG transport stream; try `morvex convert`"]),
    ("mux", ["dup.mp4", "audio_frag.mp4"], 0, [TWICE]),
    ("mux", ["video_frag.mp4", "dup.mp4"], 1, [TWICE]),
    ("thumbnail", ["audio_frag.mp4"], 0, []),  # no video: no command would help
    # Recordings cut short: without the moov, written last; inside a fragment.
    ("reset", ["cut.mp4"], 0, ["{0} looks like an MP4 recording without its moov; try `morvex recover`"]),
    ("defragment", ["cut_frag.mp4"], 0, ["{0} ends inside a box, as a recording cut short does; try `morvex recover`"]),
]
MADE = {"dup.mp4": lambda: ftyp() + moov(mvhd(), trak(1, 1000), trak(1, 1000)),
        "cut.mp4": lambda: (FIXTURES / "av_regular.mp4").read_bytes()[:30000],
        "cut_frag.mp4": lambda: (FIXTURES / "av_frag.mp4").read_bytes()[:30000]}


@pytest.mark.parametrize("command,inputs,blamed,lines", BLAME, ids=[f"{b[0]}-{'-'.join(b[1])}" for b in BLAME])
def test_errors_name_the_input_at_fault(tmp_path, capsys, command, inputs, blamed, lines):
    for name, content in MADE.items():
        (tmp_path / name).write_bytes(content())
    paths = [str(tmp_path / name) if name in MADE else str(FIXTURES / name) for name in inputs]
    assert main([command, *paths, str(tmp_path / "out")]) == 1
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith(f"morvex {command}: {paths[blamed]}: ")
    assert err[1:] == [f"morvex: {line.format(*paths)}" for line in lines]
    assert sorted(os.listdir(tmp_path)) == sorted(MADE)  # no output


@pytest.mark.parametrize("name,kind", [
    ("video_only.ts", TS), ("wrap.ts", TS), ("av_frag.mp4", FRAGMENTED), ("video_frag.mp4", FRAGMENTED),
    ("hls/seg0.m4s", FRAGMENTED), ("av_regular.mp4", REGULAR), ("audio_first.mp4", REGULAR),
])
def test_sniffed_kinds_of_the_fixtures(name, kind):
    assert sniff((FIXTURES / name).read_bytes()) == kind


@pytest.mark.parametrize("content,name,expected", [
    ((FIXTURES / "video_only.ts").read_bytes(), "clip.bin", True),
    ((FIXTURES / "av_regular.mp4").read_bytes(), "clip.ts", False),
    (b"\x47" + bytes(50), "clip.m2ts", True),
    (b"\x00" * 51, "clip.m2ts", True),
    (b"\x00" * 51, "clip.mp4", False),
    (b"\x47" + bytes(187) + b"\x00", "clip.ts", True),  # second sync byte missing: by the name
])
def test_thumbnail_input_kind(content, name, expected):
    assert looks_like_ts(content, name) is expected


class FullDisk:
    """A file whose write stops part way, as on a full disk."""

    def __init__(self, f):
        self.f = f

    def write(self, data):
        self.f.write(data[:100])
        raise OSError(28, "No space left on device")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.f.close()


@pytest.mark.parametrize("road", ["files", "bytes"])
def test_a_failed_write_leaves_no_partial_file(tmp_path, monkeypatch, capsys, road):
    def opener(file, mode="r", *args, **kwargs):
        f = open(file, mode, *args, **kwargs)
        return FullDisk(f) if "w" in mode else f

    def full_disk(*args, **kwargs):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    if road == "files":
        monkeypatch.setattr(cli._morvex, "_write_file", full_disk)
    else:
        monkeypatch.setitem(cli.COMMANDS, "convert", cli.COMMANDS["convert"]._replace(function=None))
        monkeypatch.setattr(cli, "open", opener, raising=False)
    out = tmp_path / "out.mp4"
    assert main(["convert", str(FIXTURES / "video_only.ts"), str(out)]) == 1
    # The message names the output, not the input or the temporary file.
    assert capsys.readouterr().err == f"morvex convert: {out}: No space left on device\n"
    assert os.listdir(tmp_path) == []


def test_special_files_are_written_into_not_replaced(tmp_path):
    source = FIXTURES / "video_only.ts"
    expected = morvex.convert_ts_to_mp4(source.read_bytes())
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    assert main(["convert", str(source), str(fifo)]) == 0  # no -y: nothing is overwritten
    reader.join()
    assert received == [expected]
    # -y onto a device (as root, a rename would replace the node itself).
    assert main(["convert", str(source), os.devnull, "-y"]) == 0
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and os.listdir(tmp_path) == ["fifo"]


OUT_OF_MEMORY = """
import os, resource, sys, threading
from morvex.cli import main

def vm_size():
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            return int(line.split()[1]) * 1024

threading.stack_size(1 << 20)
# Room to map the input, and not to write the output beside it.
limit = vm_size() + 3 * os.path.getsize(sys.argv[1]) // 2
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
sys.exit(main(["convert", sys.argv[1], sys.argv[2]]))
"""


def test_running_out_of_memory_is_one_line_with_the_size(tmp_path):
    if os.environ.get("MORVEX_SANITIZE"):
        pytest.skip("a sanitizer's allocator does not return under an address-space limit")
    source = tmp_path / "long.ts"
    source.write_bytes((FIXTURES / "bframes_48k_stereo.ts").read_bytes() * 300)  # 20 MB
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, str(source), str(tmp_path / "out.mp4")],
                          env=dict(child_env(), MALLOC_ARENA_MAX="1"), capture_output=True, text=True)
    assert done.returncode == 1, done.stderr
    assert re.fullmatch(rf"morvex convert: {re.escape(str(source))}: out of memory: "
                        r"could not allocate \d+ bytes( \(\d+\.\d [MG]iB\))?\n", done.stderr), done.stderr
    assert os.listdir(tmp_path) == ["long.ts"]


def test_interrupt_exits_130_with_one_line_and_no_partial_file(tmp_path, monkeypatch, capsys):
    # The job waits until Ctrl-C has reached the main thread (in its wait
    # for the workers), then converts; its result must not be put in place.
    interrupted = cli.threading.Event()
    convert = cli.COMMANDS["convert"]

    def slow_job(data, name, report):
        interrupted.wait(30)
        return convert.run(data, name, report)

    def interrupted_wait(self, timeout=None):
        interrupted.set()
        raise KeyboardInterrupt

    monkeypatch.setitem(cli.COMMANDS, "convert", convert._replace(run=slow_job, function=None))
    real_join = cli.threading.Thread.join
    monkeypatch.setattr(cli.threading.Thread, "join", interrupted_wait)
    rc = main(["convert", str(FIXTURES / "bframes_48k_stereo.ts"), str(tmp_path / "out.mp4")])
    monkeypatch.setattr(cli.threading.Thread, "join", real_join)
    assert rc == 130
    assert capsys.readouterr().err == "morvex convert: interrupted\n"
    for thread in cli.threading.enumerate():
        if thread.name == "morvex-job":
            thread.join(30)
    assert os.listdir(tmp_path) == []
