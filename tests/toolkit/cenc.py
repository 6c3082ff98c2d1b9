"""Common Encryption (ISO/IEC 23001-7) of a fragmented MP4, for tests: the
'cenc' scheme, AES-128 in counter mode with an 8-byte IV per sample. The
sample entries become encv/enca with a sinf (frma, schm, schi/tenc), and
every traf gets saiz, saio and senc; video samples keep each NAL unit's
length and header in the clear (subsamples), audio samples are encrypted
whole. FFmpeg's own muxer writes no auxiliary information into fragments,
so the files are made here. AES is written out (FIPS-197): slow, but the
fixtures are small."""

from __future__ import annotations

import struct

from . import mp4

# --- AES-128 (FIPS-197), encryption only ----------------------------------------


def _xtime(a: int) -> int:
    return ((a << 1) ^ 0x1B) & 0xFF if a & 0x80 else a << 1


def _sbox() -> list[int]:
    box, p, q = [0] * 256, 1, 1
    while True:  # p runs over the field's nonzero elements, q = 1/p
        p = p ^ _xtime(p)
        q ^= q << 1
        q ^= q << 2
        q ^= q << 4
        q &= 0xFF
        if q & 0x80:
            q ^= 0x09
        rot = lambda v, n: ((v << n) | (v >> (8 - n))) & 0xFF  # noqa: E731
        box[p] = q ^ rot(q, 1) ^ rot(q, 2) ^ rot(q, 3) ^ rot(q, 4) ^ 0x63
        if p == 1:
            break
    box[0] = 0x63
    return box


SBOX = _sbox()


def _round_keys(key: bytes) -> list[list[int]]:
    words = [list(key[i:i + 4]) for i in range(0, 16, 4)]
    rcon = 1
    for i in range(4, 44):
        w = list(words[i - 1])
        if i % 4 == 0:
            w = [SBOX[b] for b in w[1:] + w[:1]]
            w[0] ^= rcon
            rcon = _xtime(rcon)
        words.append([a ^ b for a, b in zip(words[i - 4], w)])
    return [sum(words[r * 4:r * 4 + 4], []) for r in range(11)]


def aes_encrypt_block(keys: list[list[int]], block: bytes) -> bytes:
    s = [b ^ k for b, k in zip(block, keys[0])]
    for r in range(1, 11):
        s = [SBOX[b] for b in s]
        s = [s[(i + 4 * (i % 4)) % 16] for i in range(16)]  # ShiftRows, column-major state
        if r < 10:
            mixed = []
            for c in range(4):
                a = s[4 * c:4 * c + 4]
                t = a[0] ^ a[1] ^ a[2] ^ a[3]
                mixed += [a[i] ^ t ^ _xtime(a[i] ^ a[(i + 1) % 4]) for i in range(4)]
            s = mixed
        s = [b ^ k for b, k in zip(s, keys[r])]
    return bytes(s)


def ctr(key: bytes, iv: bytes, data: bytes) -> bytes:
    """AES-CTR as 'cenc' uses it (23001-7 10.1): the 8-byte IV, then a 64-bit block counter."""
    keys, out = _round_keys(key), bytearray()
    for n in range(0, len(data), 16):
        stream = aes_encrypt_block(keys, iv + struct.pack(">Q", n // 16))
        out += bytes(a ^ b for a, b in zip(data[n:n + 16], stream))
    return bytes(out)


# --- boxes ------------------------------------------------------------------------

# Containers whose children are rebuilt, with the bytes of fields before them.
_FIELDS = {b"moov": 0, b"trak": 0, b"mdia": 0, b"minf": 0, b"stbl": 0, b"stsd": 8, b"moof": 0, b"traf": 0}


def _rebuild(data: bytes, edit, path: tuple = ()) -> bytes:
    """Boxes of `data` rebuilt: edit(path, box) returns the box's new bytes, or None to
    descend into a container (or keep a leaf as it is)."""
    out = b""
    for b in mp4.walk(data):
        new = edit(path + (b.kind,), b)
        if new is None and b.kind in _FIELDS:
            skip = _FIELDS[b.kind]
            new = mp4.box(b.kind, b.payload[:skip], _rebuild(b.payload[skip:], edit, path + (b.kind,)))
        out += new if new is not None else mp4.box(b.kind, b.payload)
    return out


def _sinf(original: bytes, kid: bytes) -> bytes:
    tenc = mp4.full_box("tenc", 0, 0, b"\x00\x00", b"\x01", b"\x08", kid)  # protected, 8-byte IVs
    return mp4.box("sinf", mp4.box("frma", original), mp4.full_box("schm", 0, 0, b"cenc", mp4.u32(0x10000)),
                   mp4.box("schi", tenc))


def _subsamples(sample: bytes) -> list[tuple[int, int]]:
    """(clear, protected) byte counts: each NAL unit's 4-byte length and header in the clear."""
    out, pos = [], 0
    while pos + 4 <= len(sample):
        n = struct.unpack_from(">I", sample, pos)[0]
        clear = min(5, 4 + n)
        out.append((clear, 4 + n - clear))
        pos += 4 + n
    return out


def encrypt(data: bytes, key: bytes, kid: bytes) -> bytes:
    """`data`, a fragmented MP4 of avc1 video and mp4a audio whose truns carry sample sizes
    and data offsets from the moof (default-base-is-moof), encrypted with 'cenc'."""
    handlers = {}
    for t in mp4.find(data, "moov").find_all("trak"):
        handlers[struct.unpack_from(">I", t.find("tkhd").payload, 12)[0]] = t.find("mdia", "hdlr").payload[8:12]

    def protect_entries(path, b):
        if path[-2:] == (b"stsd", b"avc1") or path[-2:] == (b"stsd", b"mp4a"):
            return mp4.box(b"encv" if b.kind == b"avc1" else b"enca", b.payload, _sinf(b.kind, kid))
        return None

    out = bytearray()
    boxes = mp4.walk(data)
    counter = 0
    for i, b in enumerate(boxes):
        if b.kind == b"moov":
            out += _rebuild(mp4.box("moov", b.payload), protect_entries)
            continue
        if b.kind == b"mfra":
            continue  # its offsets would be stale
        if b.kind != b"moof":
            if b.kind != b"mdat" or i == 0 or boxes[i - 1].kind != b"moof":
                out += data[b.offset:b.offset + b.size]
            continue
        mdat = boxes[i + 1]
        media = bytearray(data[mdat.offset:mdat.offset + mdat.size])
        trafs = []  # (traf payload without its new boxes, senc, saiz)
        for traf in b.find_all("traf"):
            tfhd = traf.find("tfhd").payload
            track = struct.unpack_from(">I", tfhd, 4)[0]
            video = handlers[track] == b"vide"
            records, sizes = [], []
            for run in traf.find_all("trun"):
                flags = struct.unpack_from(">I", run.payload, 0)[0] & 0xFFFFFF
                count, offset = struct.unpack_from(">Ii", run.payload, 4)
                pos = 12 + (4 if flags & mp4.TRUN_FIRST_FLAGS else 0)
                stride = sum(4 for f in (0x100, 0x200, 0x400, 0x800) if flags & f)
                at = b.offset + offset - mdat.offset
                for k in range(count):
                    size = struct.unpack_from(">I", run.payload, pos + k * stride + (4 if flags & 0x100 else 0))[0]
                    counter += 1
                    iv = struct.pack(">Q", counter * 0x9E3779B97F4A7C15 & (2 ** 64 - 1))
                    sample = bytes(media[at:at + size])
                    if video:
                        parts = _subsamples(sample)
                        protected, p = b"", 0
                        for clear, secret in parts:
                            protected += sample[p + clear:p + clear + secret]
                            p += clear + secret
                        stream, p, q = ctr(key, iv, protected), 0, 0
                        for clear, secret in parts:
                            media[at + p + clear:at + p + clear + secret] = stream[q:q + secret]
                            p += clear + secret
                            q += secret
                        record = iv + mp4.u16(len(parts)) + b"".join(mp4.u16(c) + mp4.u32(s) for c, s in parts)
                    else:
                        media[at:at + size] = ctr(key, iv, sample)
                        record = iv
                    records.append(record)
                    sizes.append(len(record))
                    at += size
            senc = mp4.full_box("senc", 0, 2 if video else 0, mp4.u32(len(records)), *records)
            same = len(set(sizes)) == 1
            saiz = mp4.full_box("saiz", 0, 0, mp4.u8(sizes[0] if same else 0), mp4.u32(len(sizes)),
                                b"" if same else bytes(sizes))
            trafs.append((traf.payload, senc, saiz))
        grown = sum(len(saiz) + 20 + len(senc) for _, senc, saiz in trafs)  # saio: 20 bytes

        def traf_bytes(payload: bytes, senc: bytes, saiz: bytes, saio_offset: int) -> bytes:
            # the runs' data offsets move on by what the moof grows
            parts = b""
            for c in mp4.walk(payload):
                body = c.payload
                if c.kind == b"trun":
                    body = body[:8] + mp4.s32(struct.unpack_from(">i", body, 8)[0] + grown) + body[12:]
                parts += mp4.box(c.kind, body)
            return parts + saiz + mp4.full_box("saio", 0, 0, mp4.u32(1), mp4.u32(saio_offset)) + senc

        head = [c for c in b.children() if c.kind != b"traf"]
        moof_body, pos = b"".join(mp4.box(c.kind, c.payload) for c in head), 8
        pos += len(moof_body)
        built = b""
        for payload, senc, saiz in trafs:
            plain = traf_bytes(payload, senc, saiz, 0)
            senc_at = pos + 8 + len(plain) - len(senc) + 16  # traf header, then senc's header and count
            built += mp4.box("traf", traf_bytes(payload, senc, saiz, senc_at))
            pos += 8 + len(plain)
        out += mp4.box("moof", moof_body + built) + bytes(media)
    return bytes(out)
