"""Re-packetiser of real transport streams: reads the PES packets of a TS
that FFmpeg or GStreamer wrote and writes them again with another PES
layout, to make streams that real muxers write but the usual tools do not:

- `group`: several video access units per PES, only the first one's PTS/DTS
  in the header (H.222.0 2.4.3.7: the PTS refers to the first access unit
  that starts in the packet);
- `cut`: the video elementary stream cut into PES of a fixed byte size,
  whatever the access-unit boundaries, each PES carrying the timestamps of
  the first access unit that starts in it (none when none starts in it);
- `audio_gap`: the ADTS frames of a time range dropped, as when PES packets
  are lost, and the remaining frames put `per_pes` to a PES.

The PAT/PMT packets in front of the first PES are copied as they are; PCR
and adaptation fields are not kept (the demultiplexers time the streams
from the PES timestamps).

    PYTHONPATH=tests python3 -m toolkit.repack group in.ts out.ts
    PYTHONPATH=tests python3 -m toolkit.repack audio_gap in.ts out.ts START DURATION
"""

from __future__ import annotations

import sys
from dataclasses import dataclass, replace

from .ts import PACKET_SIZE, SAMPLING_FREQUENCIES, TsWriter

CLOCK = 90000


@dataclass
class Pes:
    pid: int
    stream_id: int
    pts: int | None
    dts: int | None
    payload: bytes
    order: float  # position of the first packet in the source, for interleaving


def _timestamp(b: bytes) -> int:
    return ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1


def _parse_pes(pid: int, data: bytes, order: float) -> Pes:
    flags, header_length = data[7], data[8]
    pts = _timestamp(data[9:14]) if flags & 0x80 else None
    dts = _timestamp(data[14:19]) if flags & 0xC0 == 0xC0 else pts
    payload = data[9 + header_length:]
    length = int.from_bytes(data[4:6], "big")
    if length:
        payload = payload[:length - 3 - header_length]
    return Pes(pid, data[3], pts, dts, payload, order)


def read(data: bytes) -> tuple[list[bytes], list[Pes]]:
    """The packets in front of the first PES (PSI) and every PES, in stream order."""
    head: list[bytes] = []
    open_pes: dict[int, tuple[int, bytearray]] = {}
    done: list[Pes] = []
    for n in range(len(data) // PACKET_SIZE):
        p = data[n * PACKET_SIZE:(n + 1) * PACKET_SIZE]
        pid, pusi, control = (p[1] & 0x1F) << 8 | p[2], p[1] & 0x40, p[3] >> 4 & 3
        pos = 4 + (1 + p[4] if control & 2 else 0)
        payload = p[pos:] if control & 1 else b""
        if pusi and payload[:3] == b"\x00\x00\x01":
            if pid in open_pes:
                start, buf = open_pes.pop(pid)
                done.append(_parse_pes(pid, bytes(buf), start))
            open_pes[pid] = (n, bytearray(payload))
        elif pid in open_pes:
            open_pes[pid][1].extend(payload)
        elif not open_pes and not done:
            head.append(p)
    for pid, (start, buf) in open_pes.items():
        done.append(_parse_pes(pid, bytes(buf), start))
    done.sort(key=lambda x: x.order)
    return head, done


def write(head: list[bytes], pes: list[Pes]) -> bytes:
    w = TsWriter().raw(*head)
    for p in sorted(pes, key=lambda x: x.order):
        dts = p.dts if p.dts != p.pts else None
        w.pes(p.pid, p.stream_id, p.payload, pts=p.pts, dts=dts)
    return w.bytes()


def _is_video(p: Pes) -> bool:
    return 0xE0 <= p.stream_id <= 0xEF


def group(data: bytes, sizes: tuple[int, ...] = (2, 3)) -> bytes:
    """Video PES (one access unit each, as FFmpeg writes them) merged in runs
    of `sizes` (cycled), keeping the first one's timestamps."""
    head, pes = read(data)
    video = [p for p in pes if _is_video(p)]
    out = [p for p in pes if not _is_video(p)]
    k = i = 0
    while i < len(video):
        run = video[i:i + sizes[k % len(sizes)]]
        out.append(replace(run[0], payload=b"".join(p.payload for p in run)))
        i, k = i + len(run), k + 1
    return write(head, out)


def cut(data: bytes, size: int = 1000) -> bytes:
    """The video elementary stream (one access unit per source PES) cut into
    PES of `size` bytes; a PES takes the timestamps of the first access unit
    that starts inside it."""
    head, pes = read(data)
    video = [p for p in pes if _is_video(p)]
    out = [p for p in pes if not _is_video(p)]
    es = b"".join(p.payload for p in video)
    starts, pos = [], 0
    for p in video:
        starts.append(pos)
        pos += len(p.payload)
    k = 0
    for at in range(0, len(es), size):
        while k < len(video) and starts[k] < at:
            k += 1
        first = video[k] if k < len(video) and starts[k] < at + size else None
        # interleave by the source position of the access unit the bytes belong to
        owner = max(j for j in range(len(video)) if starts[j] <= at)
        out.append(Pes(video[0].pid, video[0].stream_id, first.pts if first else None, first.dts if first else None,
                       es[at:at + size], video[owner].order + at / len(es)))
    return write(head, out)


def adts_frames(payload: bytes) -> list[bytes]:
    frames, pos = [], 0
    while pos + 7 <= len(payload):
        length = (payload[pos + 3] & 3) << 11 | payload[pos + 4] << 3 | payload[pos + 5] >> 5
        frames.append(payload[pos:pos + length])
        pos += length
    return frames


def audio_gap(data: bytes, start: float, duration: float, per_pes: int = 4) -> bytes:
    """Drops the ADTS frames that start within [start, start + duration)
    seconds after the first audio frame; the others keep their times and go
    `per_pes` to a PES."""
    head, pes = read(data)
    audio = [p for p in pes if 0xC0 <= p.stream_id <= 0xDF]
    out = [p for p in pes if not 0xC0 <= p.stream_id <= 0xDF]
    frames = []  # (pts, order, bytes)
    step = 0.0  # one frame of 1024 samples, in clock ticks
    for p in audio:
        for i, f in enumerate(adts_frames(p.payload)):
            step = 1024 * CLOCK / SAMPLING_FREQUENCIES[f[2] >> 2 & 15]
            frames.append((p.pts + round(i * step), p.order + i * 1e-3, f))
    first = frames[0][0]
    kept = [f for f in frames if not start * CLOCK <= f[0] - first < (start + duration) * CLOCK]
    runs: list[list] = []
    for f in kept:
        if runs and len(runs[-1]) < per_pes and f[0] - runs[-1][-1][0] < 1.5 * step:
            runs[-1].append(f)
        else:
            runs.append([f])
    for run in runs:
        out.append(Pes(audio[0].pid, audio[0].stream_id, run[0][0], run[0][0], b"".join(f[2] for f in run),
                       run[0][1]))
    return write(head, out)


def main(argv: list[str]) -> None:
    mode, src, dst, *args = argv
    with open(src, "rb") as f:
        data = f.read()
    functions = {"group": group, "cut": cut, "audio_gap": audio_gap}
    out = functions[mode](data, *map(float, args)) if mode == "audio_gap" else functions[mode](data)
    with open(dst, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1:])
