"""extract_thumbnail_from_mp4: PyAV decodes the returned bytes to the source's first key
frame (real files, our own conversions among them), and synthetic files check the track
choice, the sample-table lookup, the avcC parameter sets and the error messages."""

import random
from dataclasses import dataclass, field

import pytest

import morvex
from toolkit import FIXTURES
from toolkit.mp4 import box, ftyp, full_box, mvhd, tkhd, mdhd, hdlr, u16, u32, u64
from toolkit.picture import assert_same_picture

START = b"\x00\x00\x00\x01"
SPS, PPS = b"\x67\x42\x00\x1e\xab", b"\x68\xce\x38\x80"


@pytest.mark.parametrize("make", [
    lambda: (FIXTURES / "audio_first.mp4").read_bytes(),
    lambda: (FIXTURES / "av_regular.mp4").read_bytes(),
    lambda: morvex.convert_ts_to_mp4((FIXTURES / "slices4.ts").read_bytes()),
    lambda: morvex.convert_ts_to_mp4((FIXTURES / "bframes_48k_stereo.ts").read_bytes()),
    lambda: morvex.defragment_mp4((FIXTURES / "av_frag.mp4").read_bytes()),
], ids=["audio first", "regular", "converted slices4.ts", "converted bframes.ts", "defragmented"])
def test_key_frame_decodes_to_the_source_picture(make):
    source = make()
    assert_same_picture(morvex.extract_thumbnail_from_mp4(source), source)


def nals(*units, size=4):
    return b"".join(len(u).to_bytes(size, "big") + u for u in units)


def avcc(sets=((SPS,), (PPS,)), length_size=4):
    sps, pps = sets
    body = bytes([1, 66, 0, 30, 0xFC | (length_size - 1), 0xE0 | len(sps)])
    body += b"".join(u16(len(s)) + s for s in sps) + bytes([len(pps)]) + b"".join(u16(len(p)) + p for p in pps)
    return box("avcC", body)


def sample_entry(*children):
    """avc1 VisualSampleEntry (ISO/IEC 14496-15): 78 bytes of fields, then child boxes."""
    fields = bytes(6) + u16(1) + bytes(16) + u16(320) + u16(240) + u32(0x480000) * 2 + u32(0) + u16(1)
    return box("avc1", fields + bytes(32) + u16(24) + u16(0xFFFF), *children)


@dataclass
class Track:
    chunks: list  # of lists of sample bytes
    handler: bytes = b"vide"
    stss: list | None = None
    config: bytes = field(default_factory=avcc)
    constant_size: bool = False
    compact: int = 0  # stz2 entry bits (ISO/IEC 14496-12 8.7.3.3), 0 for stsz
    co64: bool = False


def stbl(t: Track, first_offset: int) -> bytes:
    sizes = [len(s) for c in t.chunks for s in c]
    runs = [(i + 1, len(c)) for i, c in enumerate(t.chunks) if i == 0 or len(c) != len(t.chunks[i - 1])]
    stsc = full_box("stsc", 0, 0, u32(len(runs)), *(u32(f) + u32(n) + u32(1) for f, n in runs))
    if t.compact:
        bits = "".join(format(n, f"0{t.compact}b") for n in sizes)
        bits += "0" * (-len(bits) % 8)
        entries = int(bits, 2).to_bytes(len(bits) // 8, "big")
        stsz = full_box("stz2", 0, 0, u32(t.compact), u32(len(sizes)), entries)
    elif t.constant_size:
        stsz = full_box("stsz", 0, 0, u32(sizes[0]), u32(len(sizes)))
    else:
        stsz = full_box("stsz", 0, 0, u32(0), u32(len(sizes)), *map(u32, sizes))
    offsets, pos = [], first_offset
    for c in t.chunks:
        offsets.append(pos)
        pos += sum(map(len, c))
    co = full_box("co64", 0, 0, u32(len(offsets)), *map(u64, offsets)) if t.co64 else \
        full_box("stco", 0, 0, u32(len(offsets)), *map(u32, offsets))
    stss = [] if t.stss is None else [full_box("stss", 0, 0, u32(len(t.stss)), *map(u32, t.stss))]
    entry = sample_entry(t.config) if t.config else sample_entry()
    return box("stbl", full_box("stsd", 0, 0, u32(1), entry), full_box("stts", 0, 0, u32(0)), *stss, stsc, stsz, co)


def movie(*tracks: Track, mdat_first=True, large_mdat=False, offset_shift=0) -> bytes:
    """ftyp, mdat (every track's chunks in track order) and moov, or moov before mdat."""
    media = b"".join(s for t in tracks for c in t.chunks for s in c)
    mdat = box("mdat", media, large=large_mdat)

    def moov(mdat_payload):
        traks, pos = [], mdat_payload + offset_shift
        for k, t in enumerate(tracks):
            minf = box("minf", stbl(t, pos))
            traks.append(box("trak", tkhd(k + 1), box("mdia", mdhd(90000), hdlr(t.handler), minf)))
            pos += sum(len(s) for c in t.chunks for s in c)
        return box("moov", mvhd(), *traks)

    head = len(ftyp()) + (16 if large_mdat else 8)
    if mdat_first:
        return ftyp() + mdat + moov(head)
    size = len(moov(0))
    return ftyp() + moov(head + size) + mdat


KEY = nals(b"\x65\x88\x80" + bytes(7), b"\x65\x00\x40" + bytes(2))
KEY_ANNEXB = START + b"\x65\x88\x80" + bytes(7) + START + b"\x65\x00\x40" + bytes(2)
SETS = START + SPS + START + PPS
OTHER = [nals(b"\x41" + bytes([k]) * 5) for k in range(1, 5)]
AUDIO = Track([[b"\xaa" * 30, b"\xbb" * 20]], handler=b"soun", config=b"")

CASES = {
    "first sample at the start of mdat": (movie(Track([[KEY, OTHER[0]]])), SETS + KEY_ANNEXB),
    "lengths 10, 0 and 5": (movie(Track([[nals(b"\x65" * 10, b"", b"\x65" * 5)]])),
                            SETS + START + b"\x65" * 10 + START + START + b"\x65" * 5),
    "last length cut short": (movie(Track([[nals(b"\x65" * 4) + u32(9) + b"\x01\x02"]])),
                              SETS + START + b"\x65" * 4),
    "mdat after moov": (movie(Track([[KEY]]), mdat_first=False), SETS + KEY_ANNEXB),
    "64-bit mdat size": (movie(Track([[KEY]]), large_mdat=True), SETS + KEY_ANNEXB),
    "audio track and chunk first": (movie(AUDIO, Track([[KEY]])), SETS + KEY_ANNEXB),
    "sync sample first in its chunk": (movie(Track([[OTHER[0], OTHER[1]], [KEY, OTHER[2]]], stss=[3, 4])),
                                       SETS + KEY_ANNEXB),
    "sync sample inside its chunk": (movie(Track([[OTHER[0], OTHER[1]], [OTHER[2], KEY]], stss=[4])),
                                     SETS + KEY_ANNEXB),
    "constant sample size": (movie(Track([[OTHER[0]], [OTHER[1], OTHER[2]]], stss=[3], constant_size=True)),
                             SETS + START + b"\x41" + b"\x03" * 5),
    "16-bit stz2": (movie(Track([[OTHER[0]], [KEY]], stss=[2], compact=16)), SETS + KEY_ANNEXB),
    "4-bit stz2": (movie(Track([[nals(b"\x41" * 3), nals(b"\x65" * 5), OTHER[1]]], stss=[2], compact=4)),
                   SETS + START + b"\x65" * 5),
    "co64 chunk offsets": (movie(Track([[OTHER[0]], [KEY]], stss=[2], co64=True)), SETS + KEY_ANNEXB),
    "two-byte NAL lengths": (movie(Track([[nals(b"\x65" * 3, b"\x65" * 2, size=2)]],
                                         config=avcc(length_size=2))),
                             SETS + START + b"\x65" * 3 + START + b"\x65" * 2),
    "every parameter set": (movie(Track([[KEY]], config=avcc(((SPS, SPS + b"\1"), (PPS, PPS + b"\2"))))),
                            START + SPS + START + SPS + b"\1" + START + PPS + START + PPS + b"\2" + KEY_ANNEXB),
    "no avcC": (movie(Track([[KEY]], config=b"")), KEY_ANNEXB),
}


@pytest.mark.parametrize("data, expected", CASES.values(), ids=CASES.keys())
def test_sample_lookup(data, expected):
    assert morvex.extract_thumbnail_from_mp4(data) == expected


def replace_box(data: bytes, kind: bytes, new: bytes) -> bytes:
    """The first box of `kind` replaced by `new`, with the sizes of the boxes around it mended."""
    at = data.index(kind) - 4
    size = int.from_bytes(data[at:at + 4], "big")
    out = bytearray(data[:at] + new + data[at + size:])
    delta = len(new) - size
    pos, end = 0, len(data)
    while pos < at:  # descend through the containers that hold the box
        box_size = int.from_bytes(data[pos:pos + 4], "big")
        if pos + box_size <= at:
            pos += box_size
            continue
        out[pos:pos + 4] = (box_size + delta).to_bytes(4, "big")
        pos += 8 + {b"stsd": 8, b"avc1": 78}.get(data[pos + 4:pos + 8], 0)
    return bytes(out)


def cut_last_box(data: bytes, n: int) -> bytes:
    """The file's last n bytes cut off, and the last top-level box's size mended to match."""
    pos = 0
    while pos + int.from_bytes(data[pos:pos + 4], "big") < len(data):
        pos += int.from_bytes(data[pos:pos + 4], "big")
    size = int.from_bytes(data[pos:pos + 4], "big")
    return data[:pos] + (size - n).to_bytes(4, "big") + data[pos + 4:-n]


VIDEO = movie(Track([[KEY]]))
ERRORS = {
    "no mdat": (ftyp() + box("moov", mvhd()), 'Box "mdat" not found'),
    "mdat header at the end": (ftyp() + box("moov", mvhd()) + box("mdat"), "Invalid mdat box"),
    # A last box of size 0 runs to the end of the file (ISO/IEC 14496-12 4.2).
    "last box of size 0": (ftyp() + u32(0) + b"mdat" + bytes(20), 'Box "moov" not found'),
    "moov without trak": (ftyp() + box("mdat", KEY) + box("moov", mvhd()), 'Box "trak" not found in container'),
    "no video track": (movie(AUDIO), "No video track found"),
    "bad box before the handler": (replace_box(VIDEO, b"hdlr", u32(4) + b"hdlr"), "Invalid box size"),
    "sample outside the input": (movie(Track([[KEY]]), offset_shift=10 ** 6), r"Sample offset \d+ lies outside the input"),
    "offset past 64 bits": (movie(Track([[OTHER[0], KEY]], stss=[2], co64=True), offset_shift=2 ** 64 - 41),
                            r"Sample offset( \d+)? lies outside the input"),
    "sample past the end": (cut_last_box(movie(Track([[KEY]]), mdat_first=False), 3), "Sample size exceeds mdat bounds"),
    "short stsz": (replace_box(VIDEO, b"stsz", full_box("stsz", 0, 0, u32(0))), "Invalid stsz box"),
    "no sample sizes": (replace_box(VIDEO, b"stsz", full_box("stsz", 0, 0, u32(0), u32(1))),
                        "Invalid stsz box - no sample sizes"),
    "no sync sample": (movie(Track([[KEY]], stss=[])), "No sync sample in video track"),
    # a picture or an error, never the parameter sets alone or empty bytes
    "key frame of parameter sets": (movie(Track([[nals(SPS, PPS)]])), "The key frame sample holds no coded picture"),
    "key frame of no bytes": (movie(Track([[b"", KEY]])), "The key frame sample holds no coded picture"),
    "key frame of zero lengths": (movie(Track([[bytes(8)]])), "The key frame sample holds no coded picture"),
    "stz2 of 7-bit entries": (replace_box(VIDEO, b"stsz", full_box("stz2", 0, 0, u32(7), u32(1), b"\x10")),
                              "Invalid stz2 box"),
}


@pytest.mark.parametrize("data, message", ERRORS.values(), ids=ERRORS.keys())
def test_errors(data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        morvex.extract_thumbnail_from_mp4(data)


def test_mutated_files_never_crash():
    source = (FIXTURES / "audio_first.mp4").read_bytes()
    moov = source.index(b"moov") - 4
    assert moov > len(source) // 2  # the walk to the tables is what gets mutated
    rng = random.Random(6)
    for _ in range(300):
        data = bytearray(source)
        for _ in range(rng.randrange(1, 6)):  # hit the box headers and tables, not the media
            data[moov + rng.randrange(len(source) - moov) if rng.random() < 0.9 else rng.randrange(moov)] = \
                rng.randrange(256)
        try:
            morvex.extract_thumbnail_from_mp4(bytes(data[:rng.randrange(len(data) // 2, len(data) + 1)]))
        except ValueError:
            pass
