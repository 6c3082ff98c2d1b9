"""Inputs made at test time by other tools (FFmpeg's command line, GStreamer's
gst-launch-1.0), from their synthetic sources: streams too large to commit,
or shapes only a real encoder or muxer makes. Each is made once and kept in
a cache folder under the system's temporary folder, named after the
command that made it.

Without the tool the test is skipped on a developer machine and fails in
CI, where .ci/run installs it."""

from __future__ import annotations

import hashlib
import shutil
import subprocess
import tempfile
from pathlib import Path

from . import IN_CI

CACHE = Path(tempfile.gettempdir()) / "morvex-test-inputs"


def tool(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        import pytest

        if IN_CI:
            pytest.fail(f"{name} is not installed (required in CI)")
        pytest.skip(f"{name} is not installed")
    return path


def ffmpeg(suffix: str, *args: str) -> bytes:
    """The output of `ffmpeg ARGS OUT` (OUT a file ending in `suffix`)."""
    key = hashlib.sha256(repr(args).encode()).hexdigest()[:16]
    out = CACHE / f"{key}{suffix}"
    if not out.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        part = out.with_name(out.name + ".part")
        subprocess.run([tool("ffmpeg"), "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args, "-f",
                        "mpegts" if suffix == ".ts" else "mp4", str(part)], check=True)
        part.rename(out)
    return out.read_bytes()


def gst(suffix: str, pipeline: str) -> bytes:
    """The output of `gst-launch-1.0 PIPELINE ! filesink location=OUT`."""
    key = hashlib.sha256(pipeline.encode()).hexdigest()[:16]
    out = CACHE / f"{key}{suffix}"
    if not out.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        part = out.with_name(out.name + ".part")
        subprocess.run([tool("gst-launch-1.0"), "-q", *pipeline.split(), "!", "filesink", f"location={part}"],
                       check=True, stdout=subprocess.DEVNULL)
        part.rename(out)
    return out.read_bytes()


def test_pattern(seconds: float, size: str = "160x90", rate: int = 25) -> list[str]:
    """Input arguments of FFmpeg's test picture with a sine tone."""
    return ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}:duration={seconds}",
            "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}"]


def intra_refresh_ts() -> bytes:
    """H.264 with periodic intra refresh (x264): one IDR picture, then a
    recovery point SEI every 25 pictures, and AAC."""
    return ffmpeg(".ts", *test_pattern(4), "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0",
                  "-x264-params", "intra-refresh=1:keyint=25", "-c:a", "aac", "-b:a", "64k")
