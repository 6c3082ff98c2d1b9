"""The box walker's bounds, seen through the timestamp reset, which writes every box back
where it was read."""

import pytest

import morvex
from toolkit.mp4 import box, find, ftyp, moov, mvhd, trak, u32, u64, walk

HEAD = ftyp() + moov(mvhd(), trak(1, 1000))
MDAT = box("mdat", bytes(range(24)))


def layout(data: bytes) -> list[tuple[bytes, int, int, int]]:
    return [(b.kind, b.offset, b.header, len(b.payload)) for b in walk(data)]


@pytest.mark.parametrize("tail", [
    MDAT,
    u32(0) + b"mdat" + bytes(range(24)),              # size 0: runs to the end
    u32(1) + b"mdat" + u64(40) + bytes(range(24)),    # 64-bit size that would fit in 32 bits
], ids=["plain", "size-0", "largesize-mdat"])
def test_every_box_stays_in_place(tail):
    data = HEAD + tail
    out = morvex.reset_mp4_timestamps(data)
    assert len(out) == len(data)
    assert out[len(HEAD):].endswith(bytes(range(24)))
    walked = [(k, o, h) for k, o, h, _ in layout(out)]
    assert walked[:2] == [(b"ftyp", 0, 8), (b"moov", 32, 8)]
    assert walked[-1][2] == (16 if tail[:4] == u32(1) and tail[4:8] == b"mdat" else 8)


@pytest.mark.parametrize("trailing", [1, 7])
def test_trailing_bytes_after_the_last_box_are_ignored(trailing):
    assert morvex.reset_mp4_timestamps(HEAD + MDAT + b"\xee" * trailing) == morvex.reset_mp4_timestamps(HEAD + MDAT)


def test_child_overrunning_its_container_ends_the_list():
    data = ftyp() + box("moov", mvhd(), trak(1, 1000), u32(100) + b"junk" + bytes(4)) + MDAT
    out = morvex.reset_mp4_timestamps(data)
    assert [c.kind for c in find(out, "moov").children()] == [b"mvhd", b"trak"]


@pytest.mark.parametrize("fn", [morvex.reset_mp4_timestamps, morvex.defragment_mp4])
@pytest.mark.parametrize("data,message", [
    (HEAD + u32(100) + b"mdat" + bytes(42), "Box size 100 exceeds available data"),
    (HEAD + u32(1) + b"mdat" + bytes(7), "Not enough data"),
    (HEAD + u32(5) + b"free" + MDAT, "Invalid box size"),              # size below the header
    (HEAD + u32(1) + b"free" + u64(9) + MDAT, "Invalid box size"),     # 64-bit size below 16
    (ftyp() + box("moov", mvhd(), u32(1) + b"trak" + bytes(4)) + box("moof"), "Not enough data"),
])
def test_walk_errors(fn, data, message):
    with pytest.raises(ValueError, match=message):
        fn(data)


def test_two_mdat_boxes_both_pass_through():
    data = HEAD + MDAT + box("mdat", b"second")
    out = morvex.reset_mp4_timestamps(data)
    assert [b.payload for b in walk(out) if b.kind == b"mdat"] == [bytes(range(24)), b"second"]
