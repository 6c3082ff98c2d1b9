"""Timing of whole files as PyAV (FFmpeg's demuxers and decoders) reads
them, to compare a converted or rewritten file with its source."""

from __future__ import annotations

import io
from dataclasses import dataclass, field

import av
import av.logging


@dataclass
class Timing:
    """One stream: presentation times of its decoded frames (seconds, sorted),
    the DTS of its packets in file order, key flags, and what went wrong while
    decoding (decoder messages at error level, corrupt frames, missing PTS)."""
    kind: str
    frames: list[float] = field(default_factory=list)
    dts: list[float | None] = field(default_factory=list)
    keys: list[bool] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    rate: int | None = None


def timing(data: bytes) -> dict[str, Timing]:
    """The first video and first audio stream of `data`, keyed "video"/"audio"."""
    out: dict[str, Timing] = {}
    with av.open(io.BytesIO(data)) as c:
        chosen = {}
        for kind, streams in (("video", c.streams.video), ("audio", c.streams.audio)):
            if streams:
                rate = streams[0].codec_context.sample_rate if kind == "audio" else None
                chosen[streams[0].index] = out[kind] = Timing(kind, rate=rate)
        for p in c.demux():
            t = chosen.get(p.stream.index)
            if p.size and t is not None:
                t.dts.append(None if p.dts is None else float(p.dts * p.time_base))
                t.keys.append(p.is_keyframe)
    for kind, t in out.items():
        previous = av.logging.get_level()
        av.logging.set_level(av.logging.ERROR)
        try:
            with av.logging.Capture() as logs, av.open(io.BytesIO(data)) as c:
                stream = (c.streams.video if kind == "video" else c.streams.audio)[0]
                for frame in c.decode(stream):
                    if frame.pts is None:
                        t.errors.append("frame without a time")
                        continue
                    if frame.is_corrupt:
                        t.errors.append(f"corrupt frame at {float(frame.pts * stream.time_base):.3f} s")
                    t.frames.append(float(frame.pts * stream.time_base))
            t.errors += [f"{name}: {message.strip()}" for level, name, message in logs if level <= av.logging.ERROR]
        finally:
            av.logging.set_level(previous)
        t.frames.sort()
    return out


def misplaced(source: dict[str, Timing], output: dict[str, Timing], tolerance: float = 0.001) -> list[str]:
    """Frames of `output` whose presentation time, counted from the first
    video picture (or first audio frame, with no video), is more than
    `tolerance` seconds away from the same frame's in `source`; also every
    difference in streams and frame counts. Empty when the timings agree."""
    problems: list[str] = []
    if set(source) != set(output):
        return [f"streams {sorted(output)} instead of {sorted(source)}"]
    lead = "video" if "video" in source else "audio"
    if not source[lead].frames or not output[lead].frames:
        return [f"no {lead} frames"]
    s0, o0 = source[lead].frames[0], output[lead].frames[0]
    for kind, s in source.items():
        o = output[kind]
        if len(o.frames) != len(s.frames):
            problems.append(f"{kind}: {len(o.frames)} frames instead of {len(s.frames)}")
        for n, (st, ot) in enumerate(zip(s.frames, o.frames)):
            if abs((ot - o0) - (st - s0)) > tolerance:
                problems.append(f"{kind} frame {n}: at {ot - o0:.4f} s instead of {st - s0:.4f} s")
    return problems


def decode_order_faults(t: Timing) -> list[str]:
    """Packets whose DTS is missing or not after the previous packet's, and
    the decoding errors of the stream."""
    faults = list(t.errors)
    for n, (a, b) in enumerate(zip(t.dts, t.dts[1:])):
        if a is None or b is None or b <= a:
            faults.append(f"{t.kind} packet {n + 1}: DTS {b} after {a}")
    return faults
