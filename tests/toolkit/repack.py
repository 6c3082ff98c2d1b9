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
  are lost, and the remaining frames put `per_pes` to a PES;
- `timed_every`: timestamps on every n-th video PES only (H.222.0 asks for
  one at least every 0.7 s);
- `audio_added`: the audio stream missing from the PMT (and its packets
  left out) until a time, then a new PMT version that adds it;
- `damaged`: packets of non-reference pictures and of an audio PES lost,
  or marked with transport_error_indicator, as a weak signal leaves them;
- `latm`: the ADTS audio rewrapped as AAC in LATM/LOAS (stream type 0x11).

The PAT/PMT packets in front of the first PES are copied as they are; PCR
and adaptation fields are not kept (the demultiplexers time the streams
from the PES timestamps).

    PYTHONPATH=tests python3 -m toolkit.repack group in.ts out.ts
    PYTHONPATH=tests python3 -m toolkit.repack audio_gap in.ts out.ts START DURATION
"""

from __future__ import annotations

import sys
from dataclasses import dataclass, replace

from . import ts
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


def timed_every(data: bytes, n: int = 3) -> bytes:
    """Only every `n`-th video PES keeps its PTS and DTS."""
    head, pes = read(data)
    k = 0
    out = []
    for p in pes:
        if _is_video(p):
            if k % n:
                p = replace(p, pts=None, dts=None)
            k += 1
        out.append(p)
    return write(head, out)


def _stream_types(head: list[bytes]) -> list[tuple[int, int]]:
    """(stream_type, PID) of the PMT among the packets in front."""
    for p in head:
        pid = (p[1] & 0x1F) << 8 | p[2]
        if pid and p[1] & 0x40:
            at = 4 + (1 + p[4] if p[3] & 0x20 else 0)
            at += 1 + p[at]
            if p[at] != 0x02:
                continue
            length = (p[at + 1] & 0x0F) << 8 | p[at + 2]
            info = (p[at + 10] & 0x0F) << 8 | p[at + 11]
            pos, end, out = at + 12 + info, at + 3 + length - 4, []
            while pos + 5 <= end:
                out.append((p[pos], (p[pos + 1] & 0x1F) << 8 | p[pos + 2]))
                pos += 5 + ((p[pos + 3] & 0x0F) << 8 | p[pos + 4])
            return out
    raise ValueError("no PMT in front of the first PES")


def audio_added(data: bytes, seconds: float) -> tuple[bytes, int]:
    """The PMT names the video alone (version 0) until the first video PES
    `seconds` after the first, then the video and the audio (version 1);
    the audio PES before that are left out. PAT and PMT come every 10 PES.
    Also the PTS of the first audio PES kept."""
    head, pes = read(data)
    streams = [ts.Stream(t, pid) for t, pid in _stream_types(head)]
    video = [s for s in streams if s.stream_type in (ts.H264, 0x24, 0x02)]
    start = next(p.pts for p in pes if _is_video(p))
    w, added, first_audio = TsWriter(), False, None
    for n, p in enumerate(pes):
        if not added and _is_video(p) and p.pts is not None and p.pts - start >= seconds * CLOCK:
            added = True
            w.pat({1: 0x1000}).pmt(0x1000, streams, version=1)
        elif n % 10 == 0:
            w.pat({1: 0x1000}).pmt(0x1000, streams if added else video, version=int(added))
        if not _is_video(p):
            if not added:
                continue
            first_audio = p.pts if first_audio is None else first_audio
        w.pes(p.pid, p.stream_id, p.payload, pts=p.pts, dts=p.dts if p.dts != p.pts else None)
    return w.bytes(), first_audio


def _nal_ref_idcs(payload: bytes) -> list[int]:
    out, pos = [], payload.find(b"\x00\x00\x01")
    while 0 <= pos < len(payload) - 3:
        if payload[pos + 3] & 0x1F in (1, 5):
            out.append(payload[pos + 3] >> 5 & 3)
        pos = payload.find(b"\x00\x00\x01", pos + 3)
    return out


def damaged(data: bytes) -> tuple[bytes, set[int], set[int]]:
    """The stream with three kinds of damage, and what they cost: the PTS of
    the pictures and of the audio frames that cannot be read whole.

    The middle packet of the largest non-reference picture is lost (a
    continuity gap); the middle packet of the second largest is marked
    with transport_error_indicator; the second packet of an audio PES of
    several frames is lost, so that the frame it held a part of, and the
    rest of that PES, are gone."""
    packets = [data[i:i + PACKET_SIZE] for i in range(0, len(data) - PACKET_SIZE + 1, PACKET_SIZE)]
    # The packets of each PES, by PID.
    runs: list[tuple[int, list[int]]] = []
    open_run: dict[int, list[int]] = {}
    for n, p in enumerate(packets):
        pid = (p[1] & 0x1F) << 8 | p[2]
        if p[1] & 0x40:
            open_run[pid] = [n]
            runs.append((pid, open_run[pid]))
        elif pid in open_run:
            open_run[pid].append(n)
    _, pes = read(data)
    starts = {run[0]: (pid, run) for pid, run in runs}
    info = []
    for p in pes:  # read() orders PES by their first packet, as runs are
        pid, run = starts[int(p.order)]
        info.append((p, run))
    videos = [(len(run), p, run) for p, run in info if _is_video(p) and p.pts is not None
              and len(run) >= 3 and _nal_ref_idcs(p.payload) and not any(_nal_ref_idcs(p.payload))]
    videos.sort(key=lambda v: -v[0])
    lost_video = {videos[0][1].pts, videos[1][1].pts}
    drop = {videos[0][2][len(videos[0][2]) // 2]}
    error = {videos[1][2][len(videos[1][2]) // 2]}
    audio = [(p, run) for p, run in info if 0xC0 <= p.stream_id <= 0xDF and len(run) >= 3
             and len(adts_frames(p.payload)) >= 3]
    p, run = audio[len(audio) // 2]
    drop.add(run[1])
    # The payload bytes of the PES's first packet: frames ending past them are lost.
    first = packets[run[0]]
    at = 4 + (1 + first[4] if first[3] & 0x20 else 0)
    header = 9 + first[at + 8]
    kept = PACKET_SIZE - at - header
    lost_audio, pos = set(), 0
    rate = SAMPLING_FREQUENCIES[p.payload[2] >> 2 & 15]
    for i, f in enumerate(adts_frames(p.payload)):
        if pos + len(f) > kept:
            lost_audio.add(p.pts + round(i * 1024 * CLOCK / rate))
        pos += len(f)
    out = []
    for n, q in enumerate(packets):
        if n in drop:
            continue
        if n in error:
            q = q[:1] + bytes([q[1] | 0x80]) + q[2:]
        out.append(q)
    return b"".join(out), lost_video, lost_audio


def _loas(frame: bytes, config: bytes | None) -> bytes:
    """One raw AAC frame as a LOAS AudioSyncStream frame (14496-3 1.7.2)
    whose AudioMuxElement carries a StreamMuxConfig (audioMuxVersion 1) when
    `config` (an AudioSpecificConfig) is given."""
    bits: list[int] = []

    def put(n: int, v: int) -> None:
        bits.extend((v >> i) & 1 for i in range(n - 1, -1, -1))

    def value(v: int) -> None:  # LatmGetValue, one byte
        put(2, 0)
        put(8, v)

    put(1, config is None)  # useSameStreamMux
    if config is not None:
        put(1, 1)  # audioMuxVersion
        put(1, 0)  # audioMuxVersionA
        value(0xFF)  # taraBufferFullness
        put(1, 1)  # allStreamsSameTimeFraming
        put(6, 0)  # numSubFrames
        put(4, 0)  # numProgram
        put(3, 0)  # numLayer
        value(8 * len(config))  # ascLen
        for b in config:
            put(8, b)
        put(3, 0)  # frameLengthType
        put(8, 0xFF)  # latmBufferFullness
        put(1, 0)  # otherDataPresent
        put(1, 0)  # crcCheckPresent
    n = len(frame)
    while n >= 255:
        put(8, 255)
        n -= 255
    put(8, n)
    for b in frame:
        put(8, b)
    bits.extend([0] * (-len(bits) % 8))
    body = bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
    return bytes([0x56, 0xE0 | len(body) >> 8, len(body) & 0xFF]) + body


def latm(data: bytes, config_every: int = 8) -> bytes:
    """The ADTS audio as LATM/LOAS on stream type 0x11, each PES keeping its
    frames and PTS; the StreamMuxConfig comes with every `config_every`-th
    frame."""
    head, pes = read(data)
    audio_pids = {p.pid for p in pes if 0xC0 <= p.stream_id <= 0xDF}
    streams = [ts.Stream(0x11 if pid in audio_pids else t, pid) for t, pid in _stream_types(head)]
    out, k = [], 0
    for p in pes:
        if p.pid in audio_pids:
            frames = []
            for f in adts_frames(p.payload):
                header = 7 if f[1] & 1 else 9
                asc = ((f[2] >> 6) + 1) << 11 | (f[2] >> 2 & 15) << 7 | ((f[2] & 1) << 2 | f[3] >> 6) << 3
                frames.append(_loas(f[header:], asc.to_bytes(2, "big") if k % config_every == 0 else None))
                k += 1
            p = replace(p, payload=b"".join(frames))
        out.append(p)
    w = TsWriter().pat({1: 0x1000}).pmt(0x1000, streams)
    for p in sorted(out, key=lambda x: x.order):
        w.pes(p.pid, p.stream_id, p.payload, pts=p.pts, dts=p.dts if p.dts != p.pts else None)
    return w.bytes()


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
