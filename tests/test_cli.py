"""The command line front end: files in, the module's result out."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import morvex
from morvex.__main__ import looks_like_ts, main
from toolkit import FIXTURES


def test_python_dash_m_converts_a_file(tmp_path):
    source = FIXTURES / "bframes_48k_stereo.ts"
    out = tmp_path / "out.mp4"
    # The child imports the same build of the package as this process.
    path = [str(Path(morvex.__file__).parent.parent), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    done = subprocess.run([sys.executable, "-m", "morvex", "convert", str(source), str(out)],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert out.read_bytes() == morvex.convert_ts_to_mp4(source.read_bytes())
    # The demultiplexer's report reaches the terminal.
    assert done.stdout.startswith("Found PIDs - Video: 256, Audio: 257\n")


# command, inputs, the module call it must equal
COMMANDS = [
    ("convert", ["video_only.ts"], lambda d: morvex.convert_ts_to_mp4(*d)),
    ("defragment", ["av_frag.mp4"], lambda d: morvex.defragment_mp4(*d)),
    ("reset", ["av_regular.mp4"], lambda d: morvex.reset_mp4_timestamps(*d)),
    ("mux", ["video_frag.mp4", "audio_frag.mp4"], lambda d: morvex.mux_fmp4_tracks(*d)),
]


@pytest.mark.parametrize("command,inputs,call", COMMANDS, ids=[c[0] for c in COMMANDS])
def test_commands_write_the_module_result(tmp_path, command, inputs, call):
    out = tmp_path / "out"
    assert main([command, *(str(FIXTURES / i) for i in inputs), str(out)]) == 0
    assert out.read_bytes() == call([(FIXTURES / i).read_bytes() for i in inputs])


@pytest.mark.parametrize("content,name,expected", [
    ((FIXTURES / "video_only.ts").read_bytes(), "clip.bin", True),
    ((FIXTURES / "av_regular.mp4").read_bytes(), "clip.ts", False),
    (b"\x47" + bytes(50), "clip.m2ts", True),
    (b"\x47" + bytes(50), "clip.mp4", False),
])
def test_thumbnail_input_kind(content, name, expected):
    assert looks_like_ts(content, name) is expected


@pytest.mark.parametrize("argv,message", [
    (["convert", "{bad}", "{out}"], "morvex convert: No valid TS sync byte found"),
    (["convert", "{missing}", "{out}"], "morvex convert: "),
])
def test_errors_exit_with_1(tmp_path, capsys, argv, message):
    bad = tmp_path / "bad.ts"
    bad.write_bytes(b"\x00" * 400)
    paths = {"bad": bad, "missing": tmp_path / "missing.ts", "out": tmp_path / "out.mp4"}
    assert main([a.format(**paths) for a in argv]) == 1
    assert capsys.readouterr().err.startswith(message)
    assert not (tmp_path / "out.mp4").exists()
