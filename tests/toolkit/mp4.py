"""ISO/IEC 14496-12 box builder and walker for synthetic MP4 files in tests.

Builders return the bytes of one box; the walker splits bytes into boxes and
can descend by a path of box types. Only the container boxes the rewriting
code touches are known to `CONTAINERS`.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"moof", b"traf", b"mvex", b"edts", b"dinf", b"udta"}


def u8(v: int) -> bytes:
    return struct.pack(">B", v)


def u16(v: int) -> bytes:
    return struct.pack(">H", v)


def u32(v: int) -> bytes:
    return struct.pack(">I", v & 0xFFFFFFFF)


def s32(v: int) -> bytes:
    return struct.pack(">i", v)


def u64(v: int) -> bytes:
    return struct.pack(">Q", v)


def box(kind: bytes | str, *payload: bytes, large: bool = False, size: int | None = None) -> bytes:
    """A box; `large` writes the 16-byte header, `size` forces the size field."""
    kind = kind.encode() if isinstance(kind, str) else kind
    body = b"".join(payload)
    if large:
        return u32(1) + kind + u64(16 + len(body) if size is None else size) + body
    return u32(8 + len(body) if size is None else size) + kind + body


def full_box(kind: bytes | str, version: int, flags: int, *payload: bytes, large: bool = False) -> bytes:
    return box(kind, u8(version), u32(flags)[1:], *payload, large=large)


# --- movie and track headers -------------------------------------------------


def mvhd(timescale: int = 1000, duration: int = 0, version: int = 0, next_track_id: int = 3,
         creation: int = 0x11111111) -> bytes:
    if version == 1:
        head = u64(creation) + u64(creation) + u32(timescale) + u64(duration)
    else:
        head = u32(creation) + u32(creation) + u32(timescale) + u32(duration)
    matrix = u32(0x10000) + u32(0) * 3 + u32(0x10000) + u32(0) * 3 + u32(0x40000000)
    rest = u32(0x10000) + u16(0x100) + bytes(10) + matrix + bytes(24) + u32(next_track_id)
    return full_box("mvhd", version, 0, head, rest)


def tkhd(track_id: int, duration: int = 0, version: int = 0, width: int = 320, height: int = 240,
         creation: int = 0x22222222) -> bytes:
    if version == 1:
        head = u64(creation) + u64(creation) + u32(track_id) + u32(0) + u64(duration)
    else:
        head = u32(creation) + u32(creation) + u32(track_id) + u32(0) + u32(duration)
    matrix = u32(0x10000) + u32(0) * 3 + u32(0x10000) + u32(0) * 3 + u32(0x40000000)
    rest = bytes(8) + u16(0) + u16(0) + u16(0) + u16(0) + matrix + u32(width << 16) + u32(height << 16)
    return full_box("tkhd", version, 3, head, rest)


def mdhd(timescale: int, duration: int = 0, version: int = 0, creation: int = 0x33333333) -> bytes:
    if version == 1:
        head = u64(creation) + u64(creation) + u32(timescale) + u64(duration)
    else:
        head = u32(creation) + u32(creation) + u32(timescale) + u32(duration)
    return full_box("mdhd", version, 0, head, u16(0x55C4), u16(0))


def hdlr(handler: bytes = b"vide") -> bytes:
    return full_box("hdlr", 0, 0, u32(0), handler, bytes(12), b"h\0")


def stsd(entry: bytes = b"") -> bytes:
    entry = entry or box("avc1", bytes(78))
    return full_box("stsd", 0, 0, u32(1), entry)


def empty_stbl(entry: bytes = b"") -> bytes:
    return box("stbl", stsd(entry), full_box("stts", 0, 0, u32(0)), full_box("stsc", 0, 0, u32(0)),
               full_box("stsz", 0, 0, u32(0), u32(0)), full_box("stco", 0, 0, u32(0)))


def trak(track_id: int, timescale: int, duration: int = 0, handler: bytes = b"vide", stbl: bytes | None = None,
         extra: bytes = b"", tkhd_duration: int | None = None) -> bytes:
    minf = box("minf", box("dinf", full_box("dref", 0, 0, u32(1), full_box("url ", 0, 1))),
               empty_stbl() if stbl is None else stbl)
    return box("trak", tkhd(track_id, duration if tkhd_duration is None else tkhd_duration), extra,
               box("mdia", mdhd(timescale, duration), hdlr(handler), minf))


def trex(track_id: int, duration: int = 0, size: int = 0, flags: int = 0) -> bytes:
    return full_box("trex", 0, 0, u32(track_id), u32(1), u32(duration), u32(size), u32(flags))


def moov(*children: bytes) -> bytes:
    return box("moov", *children)


def ftyp() -> bytes:
    return box("ftyp", b"isom", u32(0x200), b"isomiso2avc1mp41")


# --- fragments -----------------------------------------------------------------

TFHD_BASE_OFFSET, TFHD_DURATION, TFHD_SIZE, TFHD_FLAGS = 0x01, 0x08, 0x10, 0x20
DEFAULT_BASE_IS_MOOF = 0x020000
TRUN_OFFSET, TRUN_FIRST_FLAGS = 0x001, 0x004
TRUN_DURATION, TRUN_SIZE, TRUN_FLAGS, TRUN_CTS = 0x100, 0x200, 0x400, 0x800


def tfhd(track_id: int, duration: int | None = None, size: int | None = None, flags: int | None = None,
         base_offset: int | None = None, default_base_is_moof: bool = True) -> bytes:
    tf_flags, body = DEFAULT_BASE_IS_MOOF if default_base_is_moof else 0, b""
    if base_offset is not None:
        tf_flags |= TFHD_BASE_OFFSET
        body += u64(base_offset)
    for flag, value in ((TFHD_DURATION, duration), (TFHD_SIZE, size), (TFHD_FLAGS, flags)):
        if value is not None:
            tf_flags |= flag
            body += u32(value)
    return full_box("tfhd", 0, tf_flags, u32(track_id), body)


def tfdt(decode_time: int, version: int = 1) -> bytes:
    return full_box("tfdt", version, 0, u64(decode_time) if version == 1 else u32(decode_time))


@dataclass
class Sample:
    duration: int | None = None
    size: int | None = None
    flags: int | None = None
    cts: int | None = None


def trun(samples: list[Sample], data_offset: int | None = None, first_flags: int | None = None,
         version: int = 0, count: int | None = None) -> bytes:
    """A track run; a field is per-sample when the first sample carries it."""
    flags, body = 0, b""
    if data_offset is not None:
        flags |= TRUN_OFFSET
        body += s32(data_offset)
    if first_flags is not None:
        flags |= TRUN_FIRST_FLAGS
        body += u32(first_flags)
    first = samples[0] if samples else Sample()
    fields = [(TRUN_DURATION, "duration"), (TRUN_SIZE, "size"), (TRUN_FLAGS, "flags"), (TRUN_CTS, "cts")]
    fields = [(f, name) for f, name in fields if getattr(first, name) is not None]
    for f, _ in fields:
        flags |= f
    for s in samples:
        for _, name in fields:
            body += u32(getattr(s, name))
    return full_box("trun", version, flags, u32(len(samples) if count is None else count), body)


@dataclass
class Run:
    samples: list[Sample]
    media: bytes = b""
    offset: bool = True  # carry a data offset
    first_flags: int | None = None
    version: int = 0
    count: int | None = None
    shift: int = 0  # added to the data offset, to point it elsewhere


@dataclass
class Traf:
    track_id: int
    runs: list[Run]
    decode_time: int | None = 0
    defaults: dict | None = None  # keyword arguments of tfhd


def without_fragment(data: bytes, n: int) -> bytes:
    """`data` with its nth fragment left out (0 the first): the moof, its mdat, and the
    styp and sidx boxes of its segment in front of it, as when a segment is lost."""
    boxes = walk(data)
    moofs = [i for i, b in enumerate(boxes) if b.kind == b"moof"]
    first = last = moofs[n]
    while first > 0 and boxes[first - 1].kind in (b"styp", b"sidx"):
        first -= 1
    if last + 1 < len(boxes) and boxes[last + 1].kind == b"mdat":
        last += 1
    return data[:boxes[first].offset] + data[boxes[last].offset + boxes[last].size:]


def moof_mdat(seq: int, trafs: list[Traf], between: bytes = b"", large_mdat: bool = False) -> bytes:
    """A moof and the mdat holding every run's media, in run order; data offsets are relative to the
    moof start (default-base-is-moof), whatever stands between the two boxes."""
    def build(offsets: list[int | None]) -> bytes:
        parts, k = [], 0
        for t in trafs:
            body = tfhd(t.track_id, **(t.defaults or {}))
            if t.decode_time is not None:
                body += tfdt(t.decode_time)
            for run in t.runs:
                body += trun(run.samples, offsets[k], run.first_flags, run.version, run.count)
                k += 1
            parts.append(box("traf", body))
        return box("moof", box("mfhd", u32(0), u32(seq)), *parts)

    runs = [r for t in trafs for r in t.runs]
    length = len(build([0 if r.offset else None for r in runs]))
    pos, offsets = length + len(between) + (16 if large_mdat else 8), []
    for r in runs:
        offsets.append(pos + r.shift if r.offset else None)
        pos += len(r.media)
    return build(offsets) + between + box("mdat", *(r.media for r in runs), large=large_mdat)


def sized(sizes: list[int], fill: int = 0, **fields) -> tuple[list[Sample], bytes]:
    """Samples of the given sizes with distinct media bytes (fill + index)."""
    samples = [Sample(size=s, **fields) for s in sizes]
    media = b"".join(bytes([(fill + i) & 0xFF]) * s for i, s in enumerate(sizes))
    return samples, media


# --- walker --------------------------------------------------------------------


@dataclass
class Box:
    kind: bytes
    offset: int  # of the first header byte in the walked range
    header: int  # 8 or 16
    payload: bytes

    @property
    def size(self) -> int:
        return self.header + len(self.payload)

    @property
    def version(self) -> int:
        return self.payload[0]

    def children(self) -> list[Box]:
        return walk(self.payload)

    def find(self, *path: str) -> Box | None:
        return find(self.payload, *path)

    def find_all(self, *path: str) -> list[Box]:
        return find_all(self.payload, *path)


def walk(data: bytes, base: int = 0) -> list[Box]:
    """Splits `data` into boxes; stops at the first box that does not fit."""
    out, pos = [], 0
    while len(data) - pos >= 8:
        size, kind = struct.unpack_from(">I4s", data, pos)
        header = 8
        if size == 1:
            if len(data) - pos < 16:
                break
            size, header = struct.unpack_from(">Q", data, pos + 8)[0], 16
        elif size == 0:
            size = len(data) - pos
        if size < header or size > len(data) - pos:
            break
        out.append(Box(kind, base + pos, header, data[pos + header:pos + size]))
        pos += size
    return out


def find_all(data: bytes, *path: str) -> list[Box]:
    level = walk(data)
    for i, name in enumerate(path):
        matches = [b for b in level if b.kind == name.encode()]
        if i == len(path) - 1:
            return matches
        level = [c for b in matches for c in b.children()]
    return []


def find(data: bytes, *path: str) -> Box | None:
    found = find_all(data, *path)
    return found[0] if found else None


def table(payload: bytes, fields: int, skip: int = 0) -> list[tuple[int, ...]]:
    """Entries of a sample table full box: entry_count then `fields` u32 per entry, after `skip` u32."""
    pos = 4 + 4 * skip
    count = struct.unpack_from(">I", payload, pos)[0]
    pos += 4
    return [struct.unpack_from(">" + "I" * fields, payload, pos + 4 * fields * i) for i in range(count)]


# --- reading a regular file back -------------------------------------------------


def u32_at(payload: bytes, pos: int) -> int:
    return struct.unpack_from(">I", payload, pos)[0]


def header_fields(b: Box) -> dict:
    """Version, times, id (timescale or track_ID) and duration of mvhd, tkhd or mdhd."""
    p, wide = b.payload, b.payload[0] == 1
    t = 8 if wide else 4
    fmt = ">Q" if wide else ">I"
    id_at = 4 + 2 * t
    duration_at = id_at + (8 if b.kind == b"tkhd" else 4)
    return {
        "version": p[0],
        "creation": struct.unpack_from(fmt, p, 4)[0],
        "modification": struct.unpack_from(fmt, p, 4 + t)[0],
        "id": u32_at(p, id_at),
        "duration": struct.unpack_from(fmt, p, duration_at)[0],
    }


def sample_offsets(stsc: list[tuple], chunk_offsets: list[int], sizes: list[int]) -> list[int]:
    """Each sample's file position from the sample-to-chunk runs (first_chunk, samples_per_chunk, index)."""
    out = []
    for k, offset in enumerate(chunk_offsets, start=1):
        per_chunk = [n for first, n, _ in stsc if first <= k][-1:] or [0]
        for _ in range(per_chunk[0]):
            if len(out) == len(sizes):
                return out
            out.append(offset)
            offset += sizes[len(out) - 1]
    return out


def stsz_sizes(payload: bytes) -> list[int]:
    """Every sample's size from an stsz payload: its one sample_size, or its entries."""
    constant, count = struct.unpack_from(">II", payload, 4)
    return [constant] * count if constant else [e[0] for e in table(payload, 1, skip=1)]


def track_tables(data: bytes) -> list[dict]:
    """Per trak of a regular file: headers, sample tables and each sample's bytes."""
    moov_box = find(data, "moov")
    tracks = []
    for t in moov_box.find_all("trak"):
        stbl = t.find("mdia", "minf", "stbl")
        kinds = [c.kind for c in stbl.children()]
        sizes = stsz_sizes(stbl.find("stsz").payload)
        co = stbl.find("co64")
        if co is not None:
            count = u32_at(co.payload, 4)
            offsets = list(struct.unpack_from(">%dQ" % count, co.payload, 8))
        else:
            offsets = [e[0] for e in table(stbl.find("stco").payload, 1)]
        chunk_offsets = offsets
        offsets = sample_offsets(table(stbl.find("stsc").payload, 3), chunk_offsets, sizes)
        ctts = stbl.find("ctts")
        ctts_info = None
        if ctts is not None:
            fmt = ">Ii" if ctts.version == 1 else ">II"
            count = u32_at(ctts.payload, 4)
            ctts_info = (ctts.version, [struct.unpack_from(fmt, ctts.payload, 8 + 8 * i) for i in range(count)])
        stss = stbl.find("stss")
        tracks.append({
            "tkhd": header_fields(t.find("tkhd")),
            "mdhd": header_fields(t.find("mdia", "mdhd")),
            "kinds": kinds,
            "stts": table(stbl.find("stts").payload, 2),
            "sizes": sizes,
            "offsets": offsets,
            "chunk_offsets": chunk_offsets,
            "ctts": ctts_info,
            "stss": None if stss is None else [e[0] for e in table(stss.payload, 1)],
            "media": [data[o:o + s] for o, s in zip(offsets, sizes)],
        })
    return tracks


def init_segment(*tracks: tuple[int, int, bytes], movie_timescale: int = 1000, trex_defaults: dict | None = None,
                 extra: tuple[bytes, ...] = ()) -> bytes:
    """ftyp and an initialisation moov: mvhd, one trak per (track_id, timescale, handler), mvex with a
    trex per track (`trex_defaults` maps track_id to trex keyword arguments), then `extra` boxes."""
    trex_defaults = trex_defaults or {}
    mvex = box("mvex", *(trex(tid, **trex_defaults.get(tid, {})) for tid, _, _ in tracks))
    traks = [trak(tid, ts, handler=h) for tid, ts, h in tracks]
    return ftyp() + moov(mvhd(movie_timescale), *traks, mvex, *extra)


def chunk_layout(data: bytes) -> list[dict]:
    """Per trak of a regular file: its handler, duration in seconds, and its
    chunks as (file offset, decode time of the first sample in seconds), read
    from stco/co64, stsc and stts."""
    out = []
    for t in find(data, "moov").find_all("trak"):
        stbl = t.find("mdia", "minf", "stbl")
        timescale = header_fields(t.find("mdia", "mdhd"))["id"]
        co = stbl.find("co64")
        if co is not None:
            offsets = list(struct.unpack_from(">%dQ" % u32_at(co.payload, 4), co.payload, 8))
        else:
            offsets = [e[0] for e in table(stbl.find("stco").payload, 1)]
        runs = table(stbl.find("stsc").payload, 3)
        times, now = [], 0
        for count, delta in table(stbl.find("stts").payload, 2):
            for _ in range(count):
                times.append(now)
                now += delta
        chunks, sample = [], 0
        for k, offset in enumerate(offsets):
            per_chunk = [n for first, n, _ in runs if first <= k + 1][-1]
            chunks.append((offset, times[sample] / timescale))
            sample += per_chunk
        out.append({"handler": t.find("mdia", "hdlr").payload[8:12], "duration": now / timescale,
                    "chunks": chunks})
    return out
