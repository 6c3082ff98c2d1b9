"""Two-track muxing of synthetic fragmented MP4 files: track placement, IDs, the movie
header, and the errors."""

import pytest

import morvex
from toolkit.mp4 import (Run, Traf, box, find, ftyp, header_fields, init_segment, moof_mdat, moov, mvhd, sized,
                         trak, track_tables, u32, walk)


def single(track_id, timescale, handler, sizes, duration, fill, extra=()):
    samples, media = sized(sizes, fill, duration=duration)
    return (init_segment((track_id, timescale, handler), extra=extra)
            + moof_mdat(1, [Traf(track_id, [Run(samples, media)])]))


VIDEO = single(1, 12800, b"vide", [5, 6], 64000, 1)           # 10 s
AUDIO = single(2, 48000, b"soun", [3, 3, 3], 168000, 9)       # 10.5 s


def test_tracks_of_both_inputs_in_one_movie():
    out = morvex.mux_fmp4_tracks(VIDEO, AUDIO)
    assert [b.kind for b in walk(out)] == [b"ftyp", b"moov", b"mdat"]
    v, a = track_tables(out)
    assert (v["tkhd"]["id"], a["tkhd"]["id"]) == (1, 2)
    assert v["media"] == [b"\x01" * 5, b"\x02" * 6]
    assert a["media"] == [b"\x09" * 3, b"\x0a" * 3, b"\x0b" * 3]
    mvhd_box = find(out, "moov", "mvhd")
    assert header_fields(mvhd_box)["duration"] == 10500
    assert int.from_bytes(mvhd_box.payload[-4:], "big") == 3  # next_track_ID


def test_second_file_reusing_a_track_id_is_renumbered():
    audio = single(1, 48000, b"soun", [3], 1024, 9)
    out = morvex.mux_fmp4_tracks(VIDEO, audio)
    v, a = track_tables(out)
    assert (v["tkhd"]["id"], a["tkhd"]["id"]) == (1, 2)
    assert a["media"] == [b"\x09" * 3]
    assert int.from_bytes(find(out, "moov", "mvhd").payload[-4:], "big") == 3


def test_template_layout_keeps_other_boxes_and_drops_mvex():
    udta = box("udta", box("free", b"x"))
    # tracks standing after a user data box take the first trak's place
    video = ftyp() + moov(mvhd(), udta, trak(1, 12800), box("mvex", box("trex", bytes(24))))
    video += moof_mdat(1, [Traf(1, [Run(*sized([2], duration=1))])])
    out = morvex.mux_fmp4_tracks(video, AUDIO)
    assert [c.kind for c in find(out, "moov").children()] == [b"mvhd", b"udta", b"trak", b"trak"]


@pytest.mark.parametrize("video,audio,message", [
    (ftyp(), AUDIO, "moov box not found"),
    (ftyp(), b"\x00\x00\x00\x09", "moov box not found"),
    (VIDEO, ftyp(), "moov box not found"),
    (ftyp() + moov(mvhd()), ftyp() + moov(mvhd()), "합칠 트랙이 없음"),
    (ftyp() + moov(mvhd()), AUDIO, "템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음"),
    (ftyp() + moov(mvhd(), trak(1, 1000), trak(1, 1000)), AUDIO, "track_id 1 가 중복됨"),
    (ftyp() + moov(mvhd(), box("trak", box("tkhd", bytes(12)))), AUDIO, "track_id 0 에 해당하는 trak 없음"),
    (VIDEO, ftyp() + u32(64) + b"moov", "Box size 64 exceeds available data"),
])
def test_errors(video, audio, message):
    with pytest.raises(ValueError, match=message):
        morvex.mux_fmp4_tracks(video, audio)


def test_tracks_without_samples_are_refused_not_written_empty():
    a = ftyp() + moov(mvhd(), trak(1, 1000))
    b = ftyp() + moov(mvhd(), trak(2, 1000))
    with pytest.raises(ValueError, match="^track_id 1 has no samples that can be read$"):
        morvex.mux_fmp4_tracks(a, b)


def test_track_references_follow_a_renumbered_track():
    # The second file's track 1 takes ID 3; its track 2 refers to it through tref.
    tref = box("tref", box("sync", u32(1)))
    samples, media = sized([4], 7, duration=1000)
    texts, text_media = sized([2], 8, duration=1000)
    second = (ftyp() + moov(mvhd(), trak(1, 48000, handler=b"soun"), trak(2, 1000, handler=b"text", extra=tref),
                            box("mvex", box("trex", bytes(24))))
              + moof_mdat(1, [Traf(1, [Run(samples, media)]), Traf(2, [Run(texts, text_media)])]))
    out = morvex.mux_fmp4_tracks(VIDEO, second)
    ids = [header_fields(t.find("tkhd"))["id"] for t in find(out, "moov").find_all("trak")]
    assert ids == [1, 3, 2]
    (text,) = [t for t in find(out, "moov").find_all("trak") if t.find("tref") is not None]
    assert text.find("tref", "sync").payload == u32(3)
