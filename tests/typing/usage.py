"""Code that uses every public name; `mypy --strict` must accept it as it
stands (tests/test_typing.py). It is type-checked, not run."""

from __future__ import annotations

import logging
import mmap
import os

import numpy

import morvex
from morvex import FragmentedMP4Processor, TransportStreamTransmuxer

version: str = morvex.__version__
names: list[str] = morvex.__all__


def convert(ts: bytes) -> bytes:
    return morvex.convert_ts_to_mp4(ts) + morvex.convert_ts_to_mp4(data=ts, reset_timestamps=True)


def fragment(ts: bytes) -> bytes:
    return morvex.convert_ts_to_fmp4(ts) + morvex.convert_ts_to_fmp4(data=ts)


def buffers(ts: bytearray, mapped: mmap.mmap, array: numpy.ndarray[tuple[int], numpy.dtype[numpy.uint8]]) -> list[bytes]:
    log = logging.getLogger("morvex")
    return [
        morvex.convert_ts_to_mp4(ts, report=None),
        morvex.convert_ts_to_fmp4(memoryview(ts)[188:], report=log.info),
        morvex.extract_thumbnail_from_ts(mapped, report=lambda text: None),
        # (numpy declares its arrays buffers from Python 3.12 on.)
        morvex.defragment_mp4(array.data),
    ]


def repair(fragmented: bytes, regular: bytes) -> list[bytes]:
    return [
        morvex.defragment_mp4(fragmented),
        morvex.reset_mp4_timestamps(regular),
        morvex.convert_mp4_reset_timestamps(data=fragmented),
        morvex.mux_fmp4_tracks(video=fragmented, audio=regular),
        morvex.recover_mp4(regular),
        morvex.recover_mp4(fragmented, reference=None),
        morvex.recover_mp4(data=bytearray(regular), reference=memoryview(fragmented)),
    ]


def key_frames(ts: bytes, mp4: bytes) -> tuple[bytes, bytes]:
    return morvex.extract_thumbnail_from_ts(ts), morvex.extract_thumbnail_from_mp4(mp4)


def rebase(init: bytes, segments: list[bytes]) -> tuple[list[bytes], int | None]:
    proc = FragmentedMP4Processor()
    proc.set_init_segment(init)
    out = [proc.process_segment(s) for s in segments]
    base = proc.base_decode_time
    proc.reset()
    return out, base


def transmux(segments: list[bytes]) -> tuple[bytes, bytes | None]:
    t = TransportStreamTransmuxer()
    out = b"".join(t.push(s, report=None) for s in segments) + t.flush(report=print)
    init = t.init_segment
    t.reset()
    return out, init


def to_files(ts: str, fragmented: os.PathLike[str]) -> int:
    written = morvex.write_file(morvex.convert_ts_to_mp4, ts, output="out.mp4", report=None)
    return written + morvex.write_file(morvex.defragment_mp4, fragmented, output="regular.mp4", overwrite=True,
                                       progress=lambda phase, done, total: None)


def movies(ts: bytes, mp4: bytes) -> tuple[float, bytes, bytes]:
    facts: morvex.Probe = morvex.probe(ts)
    tracks: list[morvex.ProbeTrack] = facts["tracks"]
    video = [t for t in tracks if t["kind"] == "video"]
    rate = video[0].get("frame_rate", 0.0) if video else 0.0
    return facts["duration"] + rate, morvex.clip(mp4, 1.5, end=3.0, exact=True), morvex.concat([ts, mp4])


def package(mp4: bytes) -> tuple[bytes, list[str]]:
    tree: dict[str, bytes] = morvex.package_cmaf(mp4, 4.0, byte_range=True)
    return tree["master.m3u8"], sorted(morvex.package_cmaf(mp4))
