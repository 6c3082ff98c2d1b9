"""Timestamp reset of synthetic MP4 files: tfdt rebasing, header durations and times,
header forms kept in place, and the two roads of convert_mp4_reset_timestamps."""

import struct

import pytest

import morvex
from toolkit.mp4 import (Run, Traf, box, find, ftyp, full_box, header_fields, init_segment, moof_mdat, moov, mvhd,
                         sized, trak, track_tables, u32, walk)

VIDEO = (1, 90000, b"vide")
AUDIO = (2, 48000, b"soun")


def decode_times(data: bytes) -> dict[int, list[int]]:
    out: dict[int, list[int]] = {}
    for moof in (b for b in walk(data) if b.kind == b"moof"):
        for traf in moof.find_all("traf"):
            tid = struct.unpack_from(">I", traf.find("tfhd").payload, 4)[0]
            p = traf.find("tfdt").payload
            out.setdefault(tid, []).append(struct.unpack_from(">Q" if p[0] == 1 else ">I", p, 4)[0])
    return out


def fragmented(video_times, audio_times, video_duration=3000, audio_duration=1024) -> bytes:
    frags = []
    for k, (v, a) in enumerate(zip(video_times, audio_times)):
        vs, vm = sized([4, 4], 1, duration=video_duration)
        as_, am = sized([2], 2, duration=audio_duration)
        frags.append(moof_mdat(k + 1, [Traf(1, [Run(vs, vm)], decode_time=v), Traf(2, [Run(as_, am)], decode_time=a)]))
    return init_segment(VIDEO, AUDIO) + b"".join(frags)


def headers(data: bytes) -> dict:
    m = find(data, "moov")
    return {"mvhd": header_fields(m.find("mvhd")),
            "tracks": [(header_fields(t.find("tkhd")), header_fields(t.find("mdia", "mdhd"))) for t in m.find_all("trak")]}


def test_tracks_move_back_by_one_instant():
    # video from 10 s (90 kHz), audio from 9.1875 s (48 kHz): audio starts at 0, video 0.8125 s later
    data = fragmented([900000, 906000, 899000], [441000, 443048, 445096])
    out = morvex.reset_mp4_timestamps(data)
    assert decode_times(out) == {1: [73125, 79125, 72125], 2: [0, 2048, 4096]}
    assert len(out) == len(data)


def test_durations_are_the_track_ends_in_each_headers_units():
    out = morvex.reset_mp4_timestamps(fragmented([900000, 906000], [441000, 443048]))
    h = headers(out)
    (vt, vm), (at, am) = h["tracks"]
    # video ends at 79125 + 2 * 3000 (90 kHz), audio at 2048 + 1024 (48 kHz)
    assert (vm["duration"], at["duration"], am["duration"]) == (85125, 3072 * 1000 // 48000, 3072)
    assert vt["duration"] == 85125 * 1000 // 90000
    assert h["mvhd"]["duration"] == max(vt["duration"], at["duration"])
    for fields in [h["mvhd"], vt, vm, at, am]:
        assert (fields["creation"], fields["modification"]) == (0, 0)


@pytest.mark.parametrize("defaults,trex", [
    ({"duration": 3000}, None),
    ({}, {1: {"duration": 3000}}),
], ids=["tfhd", "trex"])
def test_fragment_durations_come_from_defaults_when_runs_carry_none(defaults, trex):
    frags = []
    for k, t in enumerate([0, 6000]):
        samples, media = sized([1, 1])
        for s in samples:
            s.duration = None
        frags.append(moof_mdat(k + 1, [Traf(1, [Run(samples, media)], decode_time=t, defaults=defaults)]))
    out = morvex.reset_mp4_timestamps(init_segment(VIDEO, trex_defaults=trex) + b"".join(frags))
    assert headers(out)["tracks"][0][1]["duration"] == 12000


def test_without_any_duration_the_last_gap_is_used():
    frags = []
    for k, t in enumerate([0, 4000, 9000]):
        frags.append(moof_mdat(k + 1, [Traf(1, [Run([], b"", count=1)], decode_time=t, defaults={"size": 0})]))
    out = morvex.reset_mp4_timestamps(init_segment(VIDEO) + b"".join(frags))
    assert headers(out)["tracks"][0][1]["duration"] == 9000 + 5000


def regular_mp4(large_mdat: bool) -> bytes:
    media = bytes(range(40))
    stbl_of = lambda offset: box("stbl", full_box("stsd", 0, 0, u32(0)),
                                 full_box("stts", 0, 0, u32(1), u32(2), u32(1500)),
                                 full_box("stsc", 0, 0, u32(1), u32(1), u32(2), u32(1)),
                                 full_box("stsz", 0, 0, u32(0), u32(2), u32(15), u32(25)),
                                 full_box("stco", 0, 0, u32(1), u32(offset)))
    def build(offset):
        t = trak(1, 90000, duration=3000, stbl=stbl_of(offset), tkhd_duration=33)
        return ftyp() + moov(mvhd(1000, duration=33, version=1), t)
    head = build(0)
    head = build(len(head) + (16 if large_mdat else 8))
    return head + box("mdat", media, large=large_mdat)


@pytest.mark.parametrize("large_mdat", [False, True])
def test_regular_file_keeps_its_durations_and_every_byte_in_place(large_mdat):
    data = regular_mp4(large_mdat)
    out = morvex.reset_mp4_timestamps(data)
    assert len(out) == len(data)
    h = headers(out)
    assert h["mvhd"]["duration"] == 33 and h["mvhd"]["version"] == 1
    (t, m), = h["tracks"]
    assert (t["duration"], m["duration"]) == (33, 3000)
    assert (t["creation"], m["creation"], h["mvhd"]["modification"]) == (0, 0, 0)
    assert track_tables(out)[0]["media"] == track_tables(data)[0]["media"]
    assert [(b.kind, b.offset, b.header) for b in walk(out)] == [(b.kind, b.offset, b.header) for b in walk(data)]
    # the media behind a 16-byte header is where the chunk offsets say
    assert out[-40:] == data[-40:]


def test_large_mdat_header_of_a_fragment_keeps_its_form():
    samples, media = sized([3, 5], 4, duration=10)
    frag = moof_mdat(1, [Traf(1, [Run(samples, media)], decode_time=500)], large_mdat=True)
    data = init_segment(VIDEO) + frag
    out = morvex.reset_mp4_timestamps(data)
    assert [(b.kind, b.offset, b.header) for b in walk(out)] == [(b.kind, b.offset, b.header) for b in walk(data)]
    # the offsets still lead to the samples
    assert track_tables(morvex.defragment_mp4(out))[0]["media"] == [b"\x04" * 3, b"\x05" * 5]


def test_two_moov_boxes_become_one_at_the_first_place():
    head = init_segment(VIDEO)
    second = moov(mvhd(600), trak(1, 90000))
    frag = moof_mdat(1, [Traf(1, [Run(*sized([2], duration=1))])])
    out = morvex.reset_mp4_timestamps(head + frag + second)
    kinds = [b.kind for b in walk(out)]
    assert kinds == [b"ftyp", b"moov", b"moof", b"mdat"]
    assert header_fields(find(out, "moov", "mvhd"))["id"] == 600


def test_a_last_moov_of_size_0_says_its_size_when_moved_before_other_boxes():
    head = init_segment(VIDEO)
    frag = moof_mdat(1, [Traf(1, [Run(*sized([2], duration=1))])])
    last = moov(mvhd(600), trak(1, 90000))
    out = morvex.reset_mp4_timestamps(head + frag + u32(0) + last[4:])
    assert [(b.kind, b.size) for b in walk(out)] == [(b"ftyp", len(ftyp())), (b"moov", len(last)),
                                                      *[(b.kind, b.size) for b in walk(frag)]]


@pytest.mark.parametrize("data,message", [
    (b"", "moov box not found"),
    (init_segment(VIDEO)[:32], "moov box not found"),
    (ftyp() + moov(box("mvhd", b"\x00\x00\x00")), "Not enough data for FullBox header"),
    (ftyp() + moov(box("mvhd", bytes(12))), "mvhd version 0 payload of 12 bytes"),
    (ftyp() + moov(mvhd(), box("trak", box("tkhd", b"\x01" + bytes(30)))), "tkhd version 1 payload of 31 bytes"),
    (ftyp() + box("moov", bytes(12)) + u32(100) + b"free", "Box size 100 exceeds available data"),
    (ftyp() + u32(1) + b"free" + bytes(4), "Not enough data"),
])
def test_errors(data, message):
    with pytest.raises(ValueError, match=message):
        morvex.reset_mp4_timestamps(data)


@pytest.mark.parametrize("fn", [morvex.reset_mp4_timestamps, morvex.defragment_mp4])
def test_empty_headers_are_carried_over(fn):
    frag = moof_mdat(1, [Traf(1, [Run(*sized([2], duration=1))])])
    empty = (box("tkhd"),)
    t = box("trak", *empty, box("mdia", box("mdhd"), box("minf", box("stbl"))))
    data = ftyp() + moov(box("mvhd"), t) + frag
    out = fn(data)
    assert find(out, "moov", "mvhd").payload == b""
    assert find(out, "moov", "trak", "tkhd").payload == b""
    assert find(out, "moov", "trak", "mdia", "mdhd").payload == b""


def test_convert_defragments_fragmented_input():
    data = fragmented([0, 6000], [0, 2048])
    assert morvex.convert_mp4_reset_timestamps(data) == morvex.defragment_mp4(data)


def test_convert_resets_a_regular_file():
    data = regular_mp4(False)
    with pytest.raises(ValueError, match="Not a fragmented MP4"):
        morvex.defragment_mp4(data)
    assert morvex.convert_mp4_reset_timestamps(data) == morvex.reset_mp4_timestamps(data)
