"""Inputs made at test time by other tools (FFmpeg's command line, GStreamer's
gst-launch-1.0), from their synthetic sources: streams too large to commit,
or shapes only a real encoder or muxer makes.

Transport streams (`ffmpeg`, `gst`) are made once and kept in a cache folder
under the system's temporary folder, named after the command that made
them. The MP4s whose muxer options the MP4 roads must rewrite without
losing time (a DASH video and audio pair, HLS fMP4 live segments whose audio
leads, fragments with negative composition offsets and a late video start,
CENC encryption, PCM in MOV) are made once per session into a temporary
folder. Without the tool the test is skipped on a developer machine and
fails in CI, where .ci/run installs it."""

from __future__ import annotations

import atexit
import functools
import hashlib
import shutil
import subprocess
import tempfile
from pathlib import Path

from . import IN_CI

# 2 s of 160x120 test pattern at 25 fps and of a 48 kHz tone.
VIDEO = ["-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2"]
AUDIO = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2"]
X264 = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "36", "-pix_fmt", "yuv420p", "-g", "25"]
AAC = ["-c:a", "aac", "-b:a", "48k", "-ac", "2"]
FRAGMENTED = "frag_keyframe+empty_moov+default_base_moof"

# ISO/IEC 23001-7 'cenc' (AES-CTR) key and key ID.
CENC_KEY = "76a6c65c5ea762046bd749a2e632ccbb"
CENC_KID = "a7e61c373e219033c21091fa607bf3b8"


@functools.cache
def _folder() -> Path:
    folder = tempfile.mkdtemp(prefix="morvex-made-")
    atexit.register(shutil.rmtree, folder, True)
    return Path(folder)


def _ffmpeg(name: str, *args: str) -> Path:
    out = _folder() / name
    if not out.exists():
        subprocess.run([tool("ffmpeg"), "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)
    return out


@functools.cache
def negative_offsets_late_video() -> bytes:
    """Fragments with negative composition offsets (trun version 1) whose video starts
    0.2 s after the audio, on the source's timeline (so the audio's first tfdt, behind
    AAC's priming, lies before 0)."""
    return _ffmpeg("negcts_late.mp4", *AUDIO, "-itsoffset", "0.2", *VIDEO, "-map", "1:v", "-map", "0:a",
                   *X264, "-bf", "2", *AAC, "-copyts",
                   "-movflags", FRAGMENTED + "+negative_cts_offsets+frag_discont",
                   str(_folder() / "negcts_late.mp4")).read_bytes()


@functools.cache
def late_regular() -> bytes:
    """A regular MP4 whose presentation starts at 1.4 s (-output_ts_offset): an empty edit
    in front of each track."""
    return _ffmpeg("late.mp4", *VIDEO, *AUDIO, *X264, "-bf", "2", *AAC, "-output_ts_offset", "1.4",
                   str(_folder() / "late.mp4")).read_bytes()


@functools.cache
def dash_pair() -> tuple[bytes, bytes]:
    """A DASH video and audio (`-f dash`), each its init segment and its 1 s segments
    joined; the video starts 0.2 s late (an empty edit in its init segment)."""
    folder = _folder() / "dash"
    folder.mkdir(exist_ok=True)
    _ffmpeg("dash/stream.mpd", *AUDIO, "-itsoffset", "0.2", *VIDEO, "-map", "1:v", "-map", "0:a", *X264,
            "-bf", "2", *AAC, "-copyts", "-f", "dash", "-seg_duration", "1", "-use_template", "1",
            "-use_timeline", "0", "-init_seg_name", "init-$RepresentationID$.m4s",
            "-media_seg_name", "chunk-$RepresentationID$-$Number%05d$.m4s", str(folder / "stream.mpd"))
    joined = []
    for stream in "01":
        parts = [folder / f"init-{stream}.m4s", *sorted(folder.glob(f"chunk-{stream}-*.m4s"))]
        joined.append(b"".join(p.read_bytes() for p in parts))
    return joined[0], joined[1]


@functools.cache
def hls_live_audio_leading() -> tuple[bytes, list[bytes]]:
    """HLS fMP4 live segments (init.mp4 and 0.5 s segments, a sidx per track) of a source
    that has run 1000 s (-copyts, frag_discont): its audio leads the video by 0.127 s (and
    the AAC priming)."""
    folder = _folder() / "hls_live"
    folder.mkdir(exist_ok=True)
    _ffmpeg("hls_live/stream.m3u8", *AUDIO, "-itsoffset", "0.127", *VIDEO, "-map", "1:v", "-map", "0:a",
            *X264, "-g", "12", "-bf", "0", *AAC, "-output_ts_offset", "1000", "-copyts", "-f", "hls",
            "-hls_time", "0.5", "-hls_playlist_type", "vod", "-hls_segment_type", "fmp4",
            "-hls_segment_options", "movflags=+frag_discont", "-hls_fmp4_init_filename", "init.mp4",
            "-hls_segment_filename", str(folder / "seg%d.m4s"), str(folder / "stream.m3u8"))
    names = [n for n in (folder / "stream.m3u8").read_text().splitlines() if n and not n.startswith("#")]
    return (folder / "init.mp4").read_bytes(), [(folder / n).read_bytes() for n in names]


@functools.cache
def cenc() -> bytes:
    """A fragmented MP4 encrypted with `-encryption_scheme cenc-aes-ctr` (ISO/IEC 23001-7):
    encv and enca sample entries, but (FFmpeg 5.1) no senc, saiz or saio in its trafs, so
    that its samples cannot be decrypted."""
    return _ffmpeg("cenc.mp4", *VIDEO, *AUDIO, *X264, "-bf", "2", *AAC, "-movflags", FRAGMENTED,
                   "-encryption_scheme", "cenc-aes-ctr", "-encryption_key", CENC_KEY, "-encryption_kid", CENC_KID,
                   str(_folder() / "cenc.mp4")).read_bytes()


@functools.cache
def cenc_regular() -> bytes:
    """H.264 in a regular MP4 encrypted with `-encryption_scheme cenc-aes-ctr`: senc, saiz
    and saio in its stbl."""
    return _ffmpeg("cenc_regular.mp4", *VIDEO, *X264, "-encryption_scheme", "cenc-aes-ctr",
                   "-encryption_key", CENC_KEY, "-encryption_kid", CENC_KID,
                   str(_folder() / "cenc_regular.mp4")).read_bytes()


@functools.cache
def pcm_mov() -> bytes:
    """16-bit stereo PCM in a MOV: a sample per audio frame, all of one size."""
    return _ffmpeg("pcm.mov", *AUDIO, "-c:a", "pcm_s16le", "-ac", "2", str(_folder() / "pcm.mov")).read_bytes()


# --- transport streams, cached across sessions ------------------------------------

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
