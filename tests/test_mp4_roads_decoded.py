"""The MP4 roads on files other muxers wrote, checked with PyAV against the
source: HLS fMP4 (init + segments) defragmented, regular single-track files
muxed, key frames of fragmented files, fragmented files whose moov already
holds samples; and one answer per input for the box rules on every
whole-file road."""

from __future__ import annotations

import pytest

import morvex
from toolkit import FIXTURES, hls_concat
from toolkit.media import decode_order_faults, misplaced, timing
from toolkit.mp4 import (Run, Traf, box, find, ftyp, full_box, moof_mdat, moov, mvhd, sized, stsd, track_tables,
                         trak, trex, u32, walk)
from toolkit.picture import assert_same_picture


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


def assert_plays_like(source: dict, out: dict):
    problems = misplaced(source, out) + [f for t in out.values() for f in decode_order_faults(t)]
    assert not problems, "\n".join(problems[:10])


# --- HLS fMP4: the init's edits have segment_duration 0 ("the whole media") ----------

@pytest.mark.parametrize("folder", ["hls", "hls_vod", "hls_live"])
def test_hls_segments_defragment_to_every_frame(folder):
    source = hls_concat(folder)
    src, out = timing(source), timing(morvex.defragment_mp4(source))
    assert_plays_like(src, out)
    if folder != "hls_live":  # hls_live's times come from tfdt alone, which a regular file has no place for
        # each stream starts where it starts in the source: from 0, or after the source's empty edit
        for kind in src:
            assert out[kind].frames[0] == pytest.approx(src[kind].frames[0], abs=0.001)


# --- mux_fmp4_tracks on regular files --------------------------------------------------

PAIRS = [  # video file, audio file
    ("gst_video.mp4", "gst_audio.mp4"),
    ("video_regular.mp4", "audio_regular.mp4"),
    ("video_regular.mp4", "gst_audio.mp4"),
    ("video_frag.mp4", "gst_audio.mp4"),
    ("gst_video.mp4", "audio_frag.mp4"),
]


@pytest.mark.parametrize("video, audio", PAIRS, ids=["+".join(p) for p in PAIRS])
def test_mux_takes_regular_single_track_files(video, audio):
    v, a = fixture(video), fixture(audio)
    src = {"video": timing(v)["video"], "audio": timing(a)["audio"]}
    out = timing(morvex.mux_fmp4_tracks(v, a))
    assert_plays_like(src, out)
    assert out["video"].keys == src["video"].keys
    for kind in src:
        assert out[kind].frames[0] == pytest.approx(src[kind].frames[0], abs=0.001)


def rename(data: bytes, kind: bytes, new: bytes = b"free", skip: int = 0) -> bytes:
    """The first box of type `kind` (after `skip` others) turned into one of type `new`."""
    at = data.index(kind, data.index(b"moov"))
    for _ in range(skip):
        at = data.index(kind, at + 1)
    return data[:at] + new + data[at + 4:]


def shift_chunks(data: bytes) -> bytes:
    """Every stco entry moved 10 MB on, past the end of the input."""
    at = data.index(b"stco", data.index(b"moov")) + 8
    count = int.from_bytes(data[at:at + 4], "big")
    entries = b"".join(u32(int.from_bytes(data[at + 4 + 4 * k:at + 8 + 4 * k], "big") + 10 ** 7) for k in range(count))
    return data[:at + 4] + entries + data[at + 4 + 4 * count:]


UNREADABLE = {
    "no stsz": lambda v: rename(v, b"stsz"),
    "no stco": lambda v: rename(v, b"stco"),
    "no stsd": lambda v: rename(v, b"stsd"),
    "chunks outside the file": shift_chunks,
    "no samples at all": lambda v: ftyp() + moov(mvhd(), trak(1, 12800)),
}


@pytest.mark.parametrize("broken", UNREADABLE.values(), ids=UNREADABLE.keys())
def test_mux_refuses_what_it_cannot_read(broken):
    video = broken(fixture("gst_video.mp4"))
    with pytest.raises(ValueError):
        morvex.mux_fmp4_tracks(video, fixture("gst_audio.mp4"))
    with pytest.raises(ValueError):
        morvex.mux_fmp4_tracks(fixture("gst_video.mp4"), broken(fixture("gst_audio.mp4")))


# --- no track lost to a box copied as it stands --------------------------------------

def stsd_to_end(data: bytes, track: int) -> bytes:
    """The stsd of the `track`th trak given size 0: it runs to the end of its stbl, over
    the init segment's empty tables (ISO/IEC 14496-12 4.2), and still reads the same."""
    at = -1
    for _ in range(track + 1):
        at = data.index(b"stsd", at + 1)
    return data[:at - 4] + u32(0) + data[at:]


@pytest.mark.parametrize("road", ["defragment", "mux"])
def test_a_box_of_size_0_keeps_its_track(road):
    # Copied ahead of the new tables, the stsd must say its size, or it swallows them and
    # its track comes out with no samples.
    if road == "defragment":
        source = stsd_to_end(fixture("av_frag.mp4"), 1)
        src, out = timing(source), timing(morvex.defragment_mp4(source))
    else:
        video, audio = fixture("video_frag.mp4"), stsd_to_end(fixture("audio_frag.mp4"), 0)
        src = {"video": timing(video)["video"], "audio": timing(audio)["audio"]}
        out = timing(morvex.mux_fmp4_tracks(video, audio))
    assert_plays_like(src, out)


def test_a_track_without_its_description_is_refused():
    with pytest.raises(ValueError, match="^track_id 2 has no sample description$"):
        morvex.defragment_mp4(rename(fixture("av_frag.mp4"), b"stsd", new=b"free", skip=1))


# --- key frame of a fragmented file --------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda: fixture("video_frag.mp4"),
    lambda: fixture("av_frag.mp4"),
    lambda: fixture("av_frag_negcts.mp4"),
    lambda: fixture("gst_frag.mp4"),
    lambda: fixture("av_frag_moov.mp4"),
    lambda: hls_concat("hls_vod"),
], ids=["FFmpeg video", "FFmpeg A/V", "FFmpeg signed offsets", "GStreamer", "samples in moov", "HLS"])
def test_key_frame_of_a_fragmented_file(make):
    source = make()
    assert_same_picture(morvex.extract_thumbnail_from_mp4(source), source)


# --- fragmented files whose moov already holds samples ---------------------------------

def test_samples_in_moov_stay_ahead_of_the_fragments():
    # FFmpeg with frag_keyframe and no empty_moov: the first second in moov/mdat
    source = fixture("av_frag_moov.mp4")
    assert_plays_like(timing(source), timing(morvex.defragment_mp4(source)))


def stbl_with(sizes: list[int], duration: int, offset: int) -> bytes:
    """Sample tables of one chunk of `sizes` samples at `offset`, each `duration` long."""
    return box("stbl", stsd(), full_box("stts", 0, 0, u32(1), u32(len(sizes)), u32(duration)),
               full_box("stsc", 0, 0, u32(1), u32(1), u32(len(sizes)), u32(1)),
               full_box("stsz", 0, 0, u32(0), u32(len(sizes)), *map(u32, sizes)),
               full_box("stco", 0, 0, u32(1), u32(offset)))


def test_samples_in_moov_come_first_byte_for_byte():
    head = [b"\x01" * 5, b"\x02" * 6]
    samples, media = sized([3, 4], fill=7, duration=512)

    def start(offset):
        return ftyp() + moov(mvhd(), trak(1, 12800, stbl=stbl_with([5, 6], 512, offset)), box("mvex", trex(1)))
    offset = len(start(0)) + 8
    data = start(offset) + box("mdat", *head) + moof_mdat(1, [Traf(1, [Run(samples, media)], decode_time=1024)])
    (track,) = track_tables(morvex.defragment_mp4(data))
    assert track["media"] == head + [b"\x07" * 3, b"\x08" * 4]
    assert track["stts"] == [(4, 512)]


# --- one answer per input -----------------------------------------------------------

def without_mfra(data: bytes) -> bytes:
    return data[:walk(data)[-1].offset] if walk(data)[-1].kind == b"mfra" else data


# A fragmented file whose last box is an mdat, and a regular one whose last box is its moov.
BASES = {"fragmented": without_mfra(fixture("video_frag.mp4")), "regular": fixture("video_regular.mp4")}


def size_field(data: bytes, at: int, size: int) -> bytes:
    return data[:at] + u32(size) + data[at + 4:]


def after_ftyp(data: bytes, extra: bytes) -> bytes:
    at = walk(data)[1].offset
    return data[:at] + extra + data[at:]


# ISO/IEC 14496-12 4.2: size 0 runs to the end of the file, size 1 puts a 64-bit size after the type,
# and no box is smaller than its header. A top-level box that overruns the file is an error on every
# whole-file road. Each rule: base file -> (input, message or None for success).
BOX_RULES = {
    "last box of size 0": lambda d: (size_field(d, walk(d)[-1].offset, 0), None),
    "64-bit size": lambda d: (d + box("free", b"x" * 8, large=True), None),
    "box of size 4": lambda d: (after_ftyp(d, u32(4) + b"free"), "Invalid box size"),
    "box of size 7": lambda d: (after_ftyp(d, u32(7) + b"free"), "Invalid box size"),
    "file cut inside moov": lambda d: (d[:find(d, "moov").offset + find(d, "moov").size // 2],
                                       f"Box size {find(d, 'moov').size} exceeds available data"),
    "file cut inside its last box": lambda d: (d[:-10], f"Box size {walk(d)[-1].size} exceeds available data"),
    "64-bit size cut short": lambda d: (d + u32(1) + b"free" + u32(0), "Not enough data"),
}

ROADS = {
    "defragment_mp4": morvex.defragment_mp4,
    "reset_mp4_timestamps": morvex.reset_mp4_timestamps,
    "convert_mp4_reset_timestamps": morvex.convert_mp4_reset_timestamps,
    "extract_thumbnail_from_mp4": morvex.extract_thumbnail_from_mp4,
    "mux_fmp4_tracks": lambda data: morvex.mux_fmp4_tracks(data, fixture("audio_frag.mp4")),
}


def outcome(road, data: bytes) -> str | None:
    try:
        assert road(data)
    except ValueError as e:
        return str(e)
    return None


# what a road answers to a well-formed file that is not its kind of input
NOT_ITS_INPUT = {("regular", "defragment_mp4"): "Not a fragmented MP4"}


@pytest.mark.parametrize("base", BASES, ids=BASES)
@pytest.mark.parametrize("rule", BOX_RULES.values(), ids=BOX_RULES.keys())
def test_every_road_gives_the_same_answer(rule, base):
    data, message = rule(BASES[base])
    expected = {name: message or NOT_ITS_INPUT.get((base, name)) for name in ROADS}
    assert {name: outcome(road, data) for name, road in ROADS.items()} == expected
