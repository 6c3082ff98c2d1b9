"""extract_thumbnail_from_ts: PyAV decodes the returned bytes to the source's first key
frame, every slice of a multi-slice IDR picture is kept, and the start-code rules hold on
synthetic streams."""

import random

import pytest

import morvex
from toolkit import FIXTURES, h264, ts
from toolkit.picture import assert_same_picture

START4, START3 = b"\x00\x00\x00\x01", b"\x00\x00\x01"


def nal_types(annexb: bytes) -> list[int]:
    return [annexb[i + 3] & 0x1F for i in range(len(annexb) - 3) if annexb[i:i + 3] == START3]


@pytest.mark.parametrize("name, slices", [
    ("slices4.ts", 4), ("bframes_48k_stereo.ts", 1), ("interlaced.ts", 1), ("mono_44k.ts", 1), ("video_only.ts", 1),
])
def test_key_frame_decodes_to_the_source_picture(name, slices):
    source = (FIXTURES / name).read_bytes()
    out = morvex.extract_thumbnail_from_ts(source)
    assert nal_types(out) == [h264.SPS, h264.PPS] + [h264.IDR] * slices
    assert_same_picture(out, source)


def stream(video: bytes) -> bytes:
    """One programme with an H.264 and an AAC entry and a single video PES."""
    w = ts.TsWriter().pat({1: 0x1000}).pmt(0x1000, [ts.Stream(ts.H264, 256), ts.Stream(ts.AAC_ADTS, 257)])
    return w.pes(256, ts.VIDEO_STREAM_ID, video, pts=90000).bytes()


SPS, PPS = h264.sps(), h264.pps()
IDR0, IDR1, IDR2 = (h264.slice_nal(first_mb=mb) for mb in (0, 100, 200))
P0 = h264.slice_nal(idr=False)
SEI, AUD = h264.sei(), h264.aud()

CASES = {
    "sets and one slice": (START4 + AUD + START4 + SPS + START4 + PPS + START4 + IDR0 + START4 + P0,
                           START4 + SPS + START4 + PPS + START4 + IDR0),
    "three-byte start code kept": (START3 + SPS + START3 + PPS + START3 + IDR0 + START3 + AUD,
                                   START4 + SPS + START4 + PPS + START3 + IDR0),
    "no parameter sets": (START4 + IDR0 + START4 + AUD, START4 + IDR0),
    "last NAL unit runs to the end": (START4 + IDR0, START4 + IDR0),
    "start code without a byte after it": (START4 + IDR0 + START3, START4 + IDR0),
    "all slices of the picture": (START4 + IDR0 + START3 + IDR1 + START4 + IDR2 + START4 + AUD,
                                  START4 + IDR0 + START3 + IDR1 + START4 + IDR2),
    "next picture's first slice ends it": (START4 + IDR0 + START4 + IDR1 + START4 + IDR0 + START4 + IDR1,
                                           START4 + IDR0 + START4 + IDR1),
    "a non-slice NAL unit ends it": (START4 + IDR0 + START4 + SEI + START4 + IDR1, START4 + IDR0),
    "picture after non-IDR slices": (START4 + P0 + START4 + IDR0 + START4 + IDR1,
                                     START4 + IDR0 + START4 + IDR1),
}


@pytest.mark.parametrize("video, expected", CASES.values(), ids=CASES.keys())
def test_start_code_scan(video, expected):
    assert morvex.extract_thumbnail_from_ts(stream(video)) == expected


@pytest.mark.parametrize("data, message", [
    (b"", "No valid TS sync byte found"),
    (ts.TsWriter().pat({1: 0x1000}).pmt(0x1000, [ts.Stream(ts.AAC_ADTS, 257)]).bytes(), "No video data found"),
    (stream(START4 + SPS + START4 + P0 + START4 + h264.slice_nal(idr=False, first_mb=5)),
     "No I-frame found in video stream"),
], ids=["empty", "audio only", "no IDR"])
def test_errors(data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        morvex.extract_thumbnail_from_ts(data)


def test_mutated_streams_never_crash():
    source = stream(CASES["all slices of the picture"][0])
    rng = random.Random(5)
    for _ in range(300):
        data = bytearray(source)
        for _ in range(rng.randrange(1, 6)):
            data[rng.randrange(len(data))] = rng.choice((0, 1, 5, 0x65, 0x47, rng.randrange(256)))
        try:
            morvex.extract_thumbnail_from_ts(bytes(data))
        except ValueError:
            pass
