"""Edits of real transport streams, packet by packet, to make the streams
that broadcast, capture and HLS chains produce from the ones FFmpeg writes:
other PAT/PMT contents, PSI that comes late, 192- and 204-byte packets,
garbage between packets, timestamps moved or marked discontinuous, and cuts
at any byte. Also the reference timing of a stream that starts at its first
IDR picture, read from the PES headers themselves.

Everything works on 188-byte packets aligned at the start of the input
(`align` first for a stream cut at an arbitrary byte).
"""

from __future__ import annotations

from . import repack, ts
from .media import Timing

CLOCK = 90000
WRAP = 1 << 33


def align(data: bytes) -> bytes:
    """`data` from the first byte where three sync bytes follow each other
    at 188-byte spacing, cut to whole packets."""
    n = ts.PACKET_SIZE
    start = next(i for i in range(len(data)) if all(data[i + k * n:i + k * n + 1] == b"\x47" for k in range(3)))
    data = data[start:]
    return data[:len(data) // n * n]


def packets(data: bytes) -> list[bytes]:
    n = ts.PACKET_SIZE
    return [data[i:i + n] for i in range(0, len(data) - n + 1, n)]


def pid_of(p: bytes) -> int:
    return (p[1] & 0x1F) << 8 | p[2]


def _payload_start(p: bytes) -> int:
    return 4 + (1 + p[4] if p[3] & 0x20 else 0)


# --- PSI ---------------------------------------------------------------------

def rewrite_sections(data: bytes, pid: int, edit) -> bytes:
    """Every section that starts in a packet of `pid` replaced by
    edit(table_id, table_id_extension, body) -> new body (or None to keep it),
    with a new CRC_32; the section must still fit its packet."""
    out = []
    for p in packets(data):
        if pid_of(p) == pid and p[1] & 0x40:
            at = _payload_start(p)
            at += 1 + p[at]  # pointer_field
            length = (p[at + 1] & 0x0F) << 8 | p[at + 2]
            sect = p[at:at + 3 + length]
            body = edit(sect[0], int.from_bytes(sect[3:5], "big"), sect[8:-4])
            if body is not None:
                new = ts.section(sect[0], int.from_bytes(sect[3:5], "big"), body, version=sect[5] >> 1 & 0x1F)
                p = (p[:at] + new + b"\xff" * ts.PACKET_SIZE)[:ts.PACKET_SIZE]
        out.append(p)
    return b"".join(out)


def with_pat(data: bytes, programs: list[tuple[int, int]]) -> bytes:
    """Every PAT lists `programs` (program_number, PID) instead."""
    entries = b"".join(bytes([n >> 8, n & 0xFF, 0xE0 | (pid >> 8), pid & 0xFF]) for n, pid in programs)
    return rewrite_sections(data, 0, lambda table, ext, body: entries if table == 0 else None)


def edit_pmt(data: bytes, *, types: dict[int, int] | None = None, extra: list[ts.Stream] = (),
             drop: set[int] = frozenset(), pmt_pid: int = 0x1000) -> bytes:
    """Every PMT with the stream_type of the PIDs in `types` changed, the
    entries of the PIDs in `drop` left out and the `extra` entries appended."""
    types = types or {}

    def edit(table, ext, body):
        if table != 2:
            return None
        info = (body[2] & 0x0F) << 8 | body[3]
        out, pos = bytearray(body[:4 + info]), 4 + info
        while pos + 5 <= len(body):
            pid, n = (body[pos + 1] & 0x1F) << 8 | body[pos + 2], (body[pos + 3] & 0x0F) << 8 | body[pos + 4]
            if pid not in drop:
                out += bytes([types.get(pid, body[pos])]) + body[pos + 1:pos + 5 + n]
            pos += 5 + n
        for s in extra:
            n = len(s.descriptors)
            out += bytes([s.stream_type, 0xE0 | (s.pid >> 8), s.pid & 0xFF, 0xF0 | (n >> 8), n & 0xFF])
            out += s.descriptors
        return bytes(out)

    return rewrite_sections(data, pmt_pid, edit)


def drop_first_psi(data: bytes, pmt_pid: int = 0x1000) -> bytes:
    """The first PAT and the first PMT packet left out, so that the PES in
    front of the next ones (FFmpeg repeats them every 0.1 s) come before
    any PMT, as in a stream cut just behind its PSI."""
    out, dropped = [], set()
    for p in packets(data):
        pid = pid_of(p)
        if pid in (0, pmt_pid) and pid not in dropped:
            dropped.add(pid)
            continue
        out.append(p)
    return b"".join(out)


def insert_after(data: bytes, pid: int, extra, every: int = 1) -> bytes:
    """`extra` packets after every `every`-th packet of `pid`; `extra` is a
    list of packets, or a function of the insertion's number returning one."""
    out, seen = [], 0
    for p in packets(data):
        out.append(p)
        if pid_of(p) == pid:
            if seen % every == 0:
                out += extra(seen // every) if callable(extra) else extra
            seen += 1
    return b"".join(out)


# --- packet sizes and damage -------------------------------------------------

def m2ts(data: bytes) -> bytes:
    """192-byte packets (BDAV MPEG-2 TS): each packet behind a 4-byte
    TP_extra_header, 2 copy-permission bits and a 30-bit arrival time stamp
    at 27 MHz. The stamps step by 0x4747 ticks from 0x47470047, so that many
    of them hold 0x47 bytes at other places than the packets' sync bytes."""
    return b"".join(((0x47470047 + 0x4747 * n) & 0x3FFFFFFF).to_bytes(4, "big") + p
                    for n, p in enumerate(packets(data)))


def trailing_204(data: bytes) -> bytes:
    """204-byte packets: 16 bytes behind each packet, where a Reed-Solomon
    code would be (some of them 0x47)."""
    return b"".join(p + bytes((0x47 if (n + k) % 5 == 0 else n * 7 + k) & 0xFF for k in range(16))
                    for n, p in enumerate(packets(data)))


def insert_garbage(data: bytes, at: float, garbage: bytes, size: int = ts.PACKET_SIZE) -> bytes:
    """`garbage` between two packets (of `size` bytes) at fraction `at` of the stream."""
    pos = int(len(data) // size * at) * size
    return data[:pos] + garbage + data[pos:]


def cut(data: bytes, at: float) -> bytes:
    """The stream from byte fraction `at` on (not at a packet boundary in general)."""
    return data[int(len(data) * at):]


# --- timestamps --------------------------------------------------------------

def shift(data: bytes, seconds: float, *, discontinuity: bool = False) -> bytes:
    """Every PTS, DTS and PCR moved by `seconds` (modulo 2^33). With
    `discontinuity`, each PID's first packet is preceded by an
    adaptation-field-only packet whose discontinuity_indicator is set, as a
    splicer marks a new time base."""
    ticks = round(seconds * CLOCK)
    out, marked = [], set()
    for p in packets(data):
        b = bytearray(p)
        pid = pid_of(p)
        if b[3] & 0x20 and b[4] and b[5] & 0x10:  # PCR_flag
            base = int.from_bytes(b[6:11], "big") >> 7
            ext = int.from_bytes(b[10:12], "big") & 0x1FF
            pcr = ((base + ticks) % WRAP) << 15 | 0x3F << 9 | ext
            b[6:12] = pcr.to_bytes(6, "big")
        at = _payload_start(p)
        if b[1] & 0x40 and b[3] & 0x10 and b[at:at + 3] == b"\x00\x00\x01" and b[at + 3] >= 0xBC:
            flags = b[at + 7] >> 6
            for k, present in ((0, flags & 2), (5, flags == 3)):
                if present:
                    f = at + 9 + k
                    value = repack._timestamp(bytes(b[f:f + 5]))
                    b[f:f + 5] = ts.timestamp(b[f] >> 4, (value + ticks) % WRAP)
        if discontinuity and pid not in marked and pid != 0x1FFF:
            marked.add(pid)
            out.append(ts.packet(pid, b"", af=bytes([0x80]), cc=(b[3] - 1) & 0x0F))
        out.append(bytes(b))
    return b"".join(out)


# --- reference timing --------------------------------------------------------

def _has_idr(payload: bytes) -> bool:
    pos = payload.find(b"\x00\x00\x01")
    while pos >= 0 and pos + 3 < len(payload):
        if payload[pos + 3] & 0x1F == 5:
            return True
        pos = payload.find(b"\x00\x00\x01", pos + 3)
    return False


def _random_access(payload: bytes, hevc: bool) -> bool:
    """A picture a decoder may start at: H.264 IDR, or a recovery point SEI
    (payloadType 6) with it; HEVC IRAP (NAL unit types 16-23)."""
    pos = payload.find(b"\x00\x00\x01")
    while pos >= 0 and pos + 5 < len(payload):
        head = payload[pos + 3]
        if hevc and 16 <= (head >> 1 & 0x3F) <= 23:
            return True
        if not hevc and (head & 0x1F == 5 or (head & 0x1F == 6 and payload[pos + 4] == 6)):
            return True
        pos = payload.find(b"\x00\x00\x01", pos + 3)
    return False


def first_random_access(data: bytes, hevc: bool = False) -> int:
    """The PTS of the first picture of `data` (any cut) a decoder may start at."""
    _, pes = repack.read(align(data))
    return next(p.pts for p in pes if 0xE0 <= p.stream_id <= 0xEF and p.pts is not None
                and _random_access(p.payload, hevc))


def from_first_idr(data: bytes) -> dict[str, Timing]:
    """What a conversion of `data` (one H.264 PES per picture and ADTS audio,
    as FFmpeg writes them; any cut) must hold: every picture from the first
    one whose PES carries an IDR slice and, when pictures in front of it are
    left out, the audio frames presented at or after that picture (a stream
    that starts with its IDR keeps all its audio). Times in seconds from
    that picture."""
    _, pes = repack.read(align(data))
    video = [p for p in pes if 0xE0 <= p.stream_id <= 0xEF and p.pts is not None]
    audio = [p for p in pes if 0xC0 <= p.stream_id <= 0xDF and p.pts is not None]
    first = next(n for n, p in enumerate(video) if _has_idr(p.payload))
    start = video[first].pts

    def since(pts: float) -> float:
        delta = (round(pts) - start) % WRAP
        return (delta - WRAP if delta >= WRAP // 2 else delta) / CLOCK

    out = {"video": Timing("video", frames=sorted(since(p.pts) for p in video[first:]))}
    frames, rate = [], None
    for p in audio:
        for i, f in enumerate(repack.adts_frames(p.payload)):
            rate = ts.SAMPLING_FREQUENCIES[f[2] >> 2 & 15]
            t = since(p.pts + i * 1024 * CLOCK / rate)
            if t >= 0 or first == 0:
                frames.append(t)
    if audio:
        out["audio"] = Timing("audio", frames=sorted(frames), rate=rate)
    return out
