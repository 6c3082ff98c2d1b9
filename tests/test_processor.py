"""FragmentedMP4Processor: the class surface, tfdt rebasing of synthetic segments, tracks at
different timescales, malformed containers, and real HLS segments of a live stream played
back in PyAV."""

import io
import random
from fractions import Fraction

import av
import pytest

import morvex
from toolkit import FIXTURES
from toolkit.mp4 import box, find_all, full_box, init_segment, tfdt, tfhd, u32, u64, walk

Processor = morvex.FragmentedMP4Processor


def traf(track_id, *children):
    return box("traf", tfhd(track_id), *children)


def segment(*trafs, mdat=b"\x11" * 8):
    return box("moof", box("mfhd", u32(0), u32(1)), *trafs) + box("mdat", mdat)


def decode_times(data):
    """(track_ID, baseMediaDecodeTime) of every moof/traf/tfdt, in order."""
    out = []
    for t in find_all(data, "moof", "traf"):
        track = next(b for b in walk(t.payload) if b.kind == b"tfhd").payload[4:8]
        for d in (b for b in walk(t.payload) if b.kind == b"tfdt"):
            width = 8 if d.payload[0] == 1 else 4
            out.append((int.from_bytes(track, "big"), int.from_bytes(d.payload[4:4 + width], "big")))
    return out


def test_class_surface():
    assert morvex.__all__.index("FragmentedMP4Processor") == 8
    p = Processor()
    assert p.base_decode_time is None
    with pytest.raises(AttributeError):
        p.base_decode_time = 0
    with pytest.raises(TypeError):
        type("Derived", (Processor,), {})
    for call in (lambda: Processor(1), lambda: Processor(data=b""), lambda: p.reset(1),
                 lambda: p.process_segment(), lambda: p.process_segment(b"", data=b""),
                 lambda: p.set_init_segment(b"", b"")):
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("method", ["process_segment", "set_init_segment"])
@pytest.mark.parametrize("arg", ["text", memoryview(b"12345678")[::2], None])
def test_data_must_be_a_contiguous_buffer(method, arg):
    with pytest.raises(TypeError) as info:
        getattr(Processor(), method)(arg)
    assert info.value.__notes__ == ["while processing 'data'"]


def test_sequence_reset_and_keyword():
    p = Processor()
    first = segment(traf(1, tfdt(900000)))
    assert decode_times(p.process_segment(first)) == [(1, 0)]
    assert p.base_decode_time == 900000
    assert decode_times(p.process_segment(data=segment(traf(1, tfdt(990000))))) == [(1, 90000)]
    assert decode_times(p.process_segment(segment(traf(1, tfdt(5))))) == [(1, 0)]  # below the base
    assert p.set_init_segment(init_segment((1, 90000, b"vide"))) is None
    assert p.base_decode_time == 900000
    assert p.reset() is None and p.base_decode_time is None
    assert decode_times(p.process_segment(segment(traf(1, tfdt(5, version=0))))) == [(1, 0)]
    assert p.base_decode_time == 5


class Case:
    def __init__(self, data, expected, base=None):
        self.data, self.expected, self.base = data, expected, base


# Without the init segment's timescales, each track moves back by its own first time.
SEG = segment(traf(1, tfdt(1000)), traf(2, tfdt(4000)))
SEG_OUT = segment(traf(1, tfdt(0)), traf(2, tfdt(0)))
CASES = {
    "two trafs, two bases": Case(SEG, SEG_OUT, 1000),
    "init segment unchanged": Case(init_segment((1, 90000, b"vide")), init_segment((1, 90000, b"vide"))),
    "empty": Case(b"", b""),
    "seven bytes": Case(b"\0\0\0\x08moo", b""),
    "last box cut short": Case(SEG + box("free", bytes(20))[:-1], SEG_OUT, 1000),
    "five trailing bytes": Case(SEG + b"\0\0\0\x10f", SEG_OUT, 1000),
    "version 0": Case(segment(traf(1, tfdt(77, 0), tfdt(80, 0))), segment(traf(1, tfdt(0, 0), tfdt(3, 0))), 77),
    "version 2 read as 0": Case(segment(traf(1, full_box("tfdt", 2, 0, u32(9)))),
                                segment(traf(1, full_box("tfdt", 2, 0, u32(0)))), 9),
    "short version 1 tfdt": Case(segment(traf(1, full_box("tfdt", 1, 0, u32(9)))),
                                 segment(traf(1, full_box("tfdt", 1, 0, u32(9))))),
    "tfdt outside traf": Case(box("moof", tfdt(50)) + box("traf", tfdt(50)) + tfdt(50),
                              box("moof", tfdt(50)) + box("traf", tfdt(50)) + tfdt(50)),
    # Bytes a container walk cannot split into children are kept as they stand.
    "moof too short for a child": Case(box("moof", b"\1\2\3\4") + SEG, box("moof", b"\1\2\3\4") + SEG_OUT, 1000),
    "child past the traf's end": Case(segment(traf(1, tfdt(1000), u32(64) + b"trun" + bytes(8))),
                                      segment(traf(1, tfdt(0), u32(64) + b"trun" + bytes(8))), 1000),
    "tail after the last child": Case(box("moof", traf(1, tfdt(1000), b"\7" * 7), b"\0\0\0"),
                                      box("moof", traf(1, tfdt(0), b"\7" * 7), b"\0\0\0"), 1000),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_rebasing(case):
    p = Processor()
    out = p.process_segment(case.data)
    assert out == case.expected
    assert p.base_decode_time == case.base
    # The top-level boxes of the output cover it exactly.
    assert sum(b.size for b in walk(out)) == len(out)


@pytest.mark.parametrize("bad", [
    u32(0) + b"free",
    u32(1) + b"free" + u64(16),
    box("moof", u32(4) + b"mfhd"),
    box("moof", box("traf", tfdt(7), u32(7) + b"trun")),
])
def test_invalid_box_size(bad):
    p = Processor()
    with pytest.raises(ValueError, match="^Invalid box size$"):
        p.process_segment(segment(traf(1, tfdt(123))) + bad)
    assert p.base_decode_time == 123  # set before the failure, kept after it


def av_segment(video, audio):
    return segment(traf(1, tfdt(video)), traf(2, tfdt(audio)))


def test_tracks_at_different_timescales():
    """Video at 90 kHz, audio at 48 kHz: both move back by the same instant, 100 s and a bit."""
    start_v, start_a = 90000 * 100 + 7, 48000 * 100 + 960
    base_a = start_v * 48000 // 90000
    p = Processor()
    p.set_init_segment(init_segment((1, 90000, b"vide"), (2, 48000, b"soun")))
    got = [decode_times(p.process_segment(av_segment(start_v + 90000 * k, start_a + 48000 * k))) for k in range(3)]
    assert got == [[(1, 90000 * k), (2, start_a - base_a + 48000 * k)] for k in range(3)]
    assert p.base_decode_time == start_v
    # Audio starting before that instant is clamped to 0 in its own timescale.
    assert decode_times(p.process_segment(av_segment(start_v, base_a - 1))) == [(1, 0), (2, 0)]


def test_rescaled_base_saturates():
    p = Processor()
    p.set_init_segment(init_segment((1, 1, b"vide"), (2, 0xFFFFFFFF, b"soun")))
    assert decode_times(p.process_segment(segment(traf(1, tfdt(2 ** 62))))) == [(1, 0)]
    # 2^62 s in ticks of 2^32 - 1 is beyond 63 bits
    assert decode_times(p.process_segment(av_segment(2 ** 62, 2 ** 63 - 1))) == [(1, 0), (2, 0)]


@pytest.mark.parametrize("init", [
    b"",                                                     # no initialisation segment
    init_segment((1, 90000, b"vide")),                        # track 2 not described
    init_segment((2, 48000, b"soun"), (3, 90000, b"vide")),   # the base's track not described
    b"\0\0\0\x08moov",                                         # a moov without tracks
])
def test_each_track_by_its_own_first_time_without_both_timescales(init):
    p = Processor()
    p.set_init_segment(init)
    assert decode_times(p.process_segment(av_segment(9000000, 4800960))) == [(1, 0), (2, 0)]
    assert decode_times(p.process_segment(av_segment(9090000, 9000050))) == [(1, 90000), (2, 9000050 - 4800960)]


def packets(data):
    """(kind, presentation time in seconds, key) of every packet, and the decoded frame counts."""
    with av.open(io.BytesIO(data)) as c:
        got = [(p.stream.type, p.pts * p.time_base, p.is_keyframe) for p in c.demux() if p.size]
    with av.open(io.BytesIO(data)) as c:
        frames = {s.type: sum(1 for _ in av.open(io.BytesIO(data)).decode(c.streams[s.index])) for s in c.streams}
    return got, frames


def hls(name):
    d = FIXTURES / name
    return (d / "init.mp4").read_bytes(), [(d / f"seg{k}.m4s").read_bytes() for k in range(4)]


def test_live_hls_segments_play_from_zero_in_sync():
    init, segments = hls("hls_live")
    p = Processor()
    p.set_init_segment(init)
    rebased = [p.process_segment(s) for s in segments]
    assert [len(r) for r in rebased] == [len(s) for s in segments]
    source, source_frames = packets(init + b"".join(segments))
    out, out_frames = packets(init + b"".join(rebased))
    offset = min(t for kind, t, _ in source if kind == "video")
    assert offset == 1000
    # Every packet of both tracks moves back by the same instant: A/V stay in sync.
    assert out == [(kind, t - offset, key) for kind, t, key in source]
    assert min(t for _, t, _ in out) == 0
    assert out_frames == source_frames and set(out_frames) == {"video", "audio"}
    with av.open(io.BytesIO(init + b"".join(rebased))) as c:
        assert Fraction(c.start_time, av.time_base) == 0


def test_segments_starting_at_zero_come_back_unchanged():
    init, segments = hls("hls")
    p = Processor()
    p.set_init_segment(init)
    assert [p.process_segment(s) for s in segments] == segments
    assert p.base_decode_time == 0


def test_mutated_segments_never_crash():
    init, segments = hls("hls_live")
    rng = random.Random(4)
    for _ in range(300):
        data = bytearray(segments[rng.randrange(4)][:2000])
        for _ in range(rng.randrange(1, 8)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        p = Processor()
        p.set_init_segment(bytes(data[:rng.randrange(len(data))]))
        try:
            out = p.process_segment(bytes(data))
        except ValueError as e:
            assert str(e) == "Invalid box size"
        else:
            assert len(out) <= len(data)
