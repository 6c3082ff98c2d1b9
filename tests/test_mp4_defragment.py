"""Defragmentation of synthetic fragmented MP4 files: where sample bytes are found,
sample defaults, sync samples, composition offsets, durations and the movie box."""

import pytest

import morvex
from toolkit.mp4 import (Run, Sample, Traf, box, empty_stbl, find, find_all, ftyp, moov, mvhd, trak, header_fields, init_segment, moof_mdat, sized, track_tables,
                         trex, u32, walk)

VIDEO = (1, 12800, b"vide")
AUDIO = (2, 48000, b"soun")

# Sample flags of ISO/IEC 14496-12 8.8.3.1 as FFmpeg writes them.
KEY = 0x02000000          # sample_depends_on = 2 (an I picture)
DEPENDENT = 0x01010000    # sample_depends_on = 1 and sample_is_non_sync_sample


def defragment_tracks(*pieces: bytes) -> list[dict]:
    return track_tables(morvex.defragment_mp4(b"".join(pieces)))


def run(sizes, fill=0, **fields):
    samples, media = sized(sizes, fill, **fields)
    return Run(samples, media)


# --- where a run's bytes are --------------------------------------------------------


@pytest.mark.parametrize("between,large_mdat", [
    (b"", False),
    (box("free", bytes(16)), False),
    (b"", True),
    (box("free", bytes(16)), True),
], ids=["adjacent", "free-between", "large-mdat", "free-and-large-mdat"])
def test_run_bytes_come_from_their_true_file_position(between, large_mdat):
    frag = moof_mdat(1, [Traf(1, [run([5, 7, 3], duration=512)])], between=between, large_mdat=large_mdat)
    (track,) = defragment_tracks(init_segment(VIDEO), frag)
    assert track["media"] == [bytes([0]) * 5, bytes([1]) * 7, bytes([2]) * 3]


def test_explicit_base_data_offset_is_a_file_position():
    head = init_segment(VIDEO)
    samples, media = sized([4, 6], 9, duration=512)

    def frag(base, shift):
        defaults = {"base_offset": base, "default_base_is_moof": False}
        return moof_mdat(1, [Traf(1, [Run(samples, media, shift=shift)], defaults=defaults)])

    moof_len = walk(frag(0, 0))[0].size
    # Data offset 0 from a base at the mdat payload.
    (track,) = defragment_tracks(head, frag(len(head) + moof_len + 8, -(moof_len + 8)))
    assert track["media"] == [bytes([9]) * 4, bytes([10]) * 6]


def test_runs_without_data_offset_follow_the_previous_run():
    first, second = run([3, 4], 1, duration=10), run([5], 7, duration=10)
    second.offset = False
    frag = moof_mdat(1, [Traf(1, [first, second])])
    (track,) = defragment_tracks(init_segment(VIDEO), frag)
    assert track["media"] == [b"\x01" * 3, b"\x02" * 4, b"\x07" * 5]


def test_first_run_without_data_offset_is_left_out():
    first, second = run([3, 4], 1, duration=10), run([5], 7, duration=10)
    first.offset = False
    frag = moof_mdat(1, [Traf(1, [first, second])])
    (track,) = defragment_tracks(init_segment(VIDEO), frag)
    assert track["media"] == [b"\x07" * 5]


@pytest.mark.parametrize("sizes,media_len,shift,kept", [
    # the third sample of 100 bytes does not fit in the 250-byte payload
    ([100, 100, 100], 250, 0, [b"\x01" * 100, b"\x02" * 100]),
    # the run starts inside the moof
    ([10, 10], 20, -12, []),
    # the run starts 5 bytes in: its second sample would run past the payload
    ([10, 10], 20, 5, [b"\x01" * 5 + b"\x02" * 5]),
], ids=["short-mdat", "points-into-moof", "shifted"])
def test_samples_outside_their_mdat_are_left_out_with_the_rest_of_the_run(sizes, media_len, shift, kept):
    samples, media = sized(sizes, 1, duration=10)
    frag = moof_mdat(1, [Traf(1, [Run(samples, media[:media_len], shift=shift)])])
    later = moof_mdat(2, [Traf(1, [run([6], 50, duration=10)])])
    (track,) = defragment_tracks(init_segment(VIDEO), frag, later)
    assert track["media"] == kept + [b"\x32" * 6]
    assert track["stts"] == [(len(kept) + 1, 10)]


def test_runs_of_unknown_tracks_and_moofs_without_mdat_add_nothing():
    lost = moof_mdat(1, [Traf(1, [run([9], 3, duration=1)])])
    lost_moof = walk(lost)[0]
    orphan = lost[:lost_moof.size]
    unknown = moof_mdat(2, [Traf(7, [run([4], 4, duration=1)])])
    kept = moof_mdat(3, [Traf(1, [run([2], 5, duration=1)])])
    (track,) = defragment_tracks(init_segment(VIDEO), orphan, unknown, kept)
    assert track["media"] == [b"\x05" * 2]


# --- sample values: trun, tfhd, trex ---------------------------------------------------


@pytest.mark.parametrize("trex,tfhd,sample,expected", [
    ({"duration": 1000, "size": 4, "flags": DEPENDENT}, {}, {}, (1000, 4, DEPENDENT)),
    ({"duration": 1000, "size": 4, "flags": DEPENDENT}, {"duration": 20, "flags": KEY}, {}, (20, 4, KEY)),
    ({"duration": 1000, "size": 4, "flags": DEPENDENT}, {"duration": 20}, {"duration": 7, "size": 4}, (7, 4, DEPENDENT)),
], ids=["trex", "tfhd-over-trex", "trun-over-both"])
def test_sample_fields_fall_back_from_trun_to_tfhd_to_trex(trex, tfhd, sample, expected):
    duration, size, flags = expected
    samples = [Sample(**sample), Sample(**sample)]
    media = bytes(range(2 * size))
    frag = moof_mdat(1, [Traf(1, [Run(samples, media)], defaults=tfhd)])
    (track,) = defragment_tracks(init_segment(VIDEO, trex_defaults={1: trex}), frag)
    assert track["stts"] == [(2, duration)]
    assert track["sizes"] == [size, size]
    assert track["stss"] == (None if flags == KEY else [])


@pytest.mark.parametrize("per_sample_durations", [True, False])
def test_first_sample_flags_mark_ffmpeg_key_frames(per_sample_durations):
    runs = []
    for k in range(3):
        samples, media = sized([10, 10, 10], 10 * k, duration=512)
        for s in samples:
            if not per_sample_durations:
                s.duration = s.size = None
        runs.append(Run(samples, media, first_flags=KEY))
    frags = [moof_mdat(k + 1, [Traf(1, [r])]) for k, r in enumerate(runs)]
    trex = {1: {"flags": DEPENDENT, "size": 10, "duration": 512}}
    (track,) = defragment_tracks(init_segment(VIDEO, trex_defaults=trex), *frags)
    assert track["stss"] == [1, 4, 7]
    assert track["media"][3] == bytes([10]) * 10


@pytest.mark.parametrize("flags,stss", [
    ([KEY] + [DEPENDENT] * 3, [1]),
    ([0x00010000] * 3, []),                 # non-sync bit alone
    ([0x01000000] * 3, []),                 # depends on others alone
    ([0, 0x02000000, 0x00000000], None),    # all sync: no stss
    ([0x03000000, 0x00010000, 0], [1, 3]),  # sample_depends_on 3 is not "depends"
])
def test_sync_samples(flags, stss):
    samples, media = sized([2] * len(flags), duration=1)
    for s, f in zip(samples, flags):
        s.flags = f
    (track,) = defragment_tracks(init_segment(VIDEO), moof_mdat(1, [Traf(1, [Run(samples, media)])]))
    assert track["stss"] == stss


@pytest.mark.parametrize("version,offsets,ctts", [
    (1, [0, -1000, 1000, 1000], (1, [(1, 0), (1, -1000), (2, 1000)])),
    (0, [0, 2000, 0], (0, [(1, 0), (1, 2000), (1, 0)])),
    (0, [0, 0], None),
])
def test_composition_offsets(version, offsets, ctts):
    samples, media = sized([3] * len(offsets), duration=512)
    for s, c in zip(samples, offsets):
        s.cts = c
    r = Run(samples, media, version=version)
    (track,) = defragment_tracks(init_segment(VIDEO), moof_mdat(1, [Traf(1, [r])]))
    assert track["ctts"] == ctts


def test_truncated_run_keeps_only_samples_with_records():
    samples, media = sized([4, 4, 4], duration=5)
    frag = moof_mdat(1, [Traf(1, [Run(samples[:1], media, count=3)])])
    (track,) = defragment_tracks(init_segment(VIDEO), frag)
    assert track["sizes"] == [4]
    assert track["stts"] == [(1, 5)]


def test_sample_count_beyond_the_input_is_refused():
    frag = moof_mdat(1, [Traf(1, [Run([], b"", count=0xFFFFFFFF)], defaults={"size": 0})])
    with pytest.raises(ValueError, match="sample count 4294967295"):
        morvex.defragment_mp4(init_segment(VIDEO) + frag)


# --- durations and the movie box -------------------------------------------------------


def test_durations_are_in_the_units_of_each_header():
    video, audio = run([1] * 250, duration=512), run([1] * 500, duration=1024)  # 10 s and 10.666 s
    head = init_segment(VIDEO, AUDIO)
    out = morvex.defragment_mp4(head + moof_mdat(1, [Traf(1, [video]), Traf(2, [audio])]))
    v, a = track_tables(out)
    assert (v["mdhd"]["duration"], v["tkhd"]["duration"]) == (250 * 512, 10000)
    assert (a["mdhd"]["duration"], a["tkhd"]["duration"]) == (500 * 1024, 500 * 1024 * 1000 // 48000)
    assert header_fields(find(out, "moov", "mvhd"))["duration"] == a["tkhd"]["duration"]


def test_regular_file_keeps_no_movie_extends_box():
    head = init_segment(VIDEO, extra=(box("udta", box("free", b"x")),))
    out = morvex.defragment_mp4(head + moof_mdat(1, [Traf(1, [run([3], duration=1)])]))
    assert [c.kind for c in find(out, "moov").children()] == [b"mvhd", b"trak", b"udta"]
    assert [b.kind for b in walk(out)] == [b"ftyp", b"moov", b"mdat"]
    assert find(out, "moov", "udta").payload == find(head, "moov", "udta").payload


def test_tables_of_a_track_with_several_fragments():
    frags = [moof_mdat(1, [Traf(1, [run([10, 20], 1, duration=1000)])]),
             moof_mdat(2, [Traf(1, [run([30], 3, duration=500)])])]
    out = morvex.defragment_mp4(init_segment(VIDEO) + b"".join(frags))
    (track,) = track_tables(out)
    mdat = [b for b in walk(out) if b.kind == b"mdat"][0]
    assert track["stts"] == [(2, 1000), (1, 500)]
    assert track["offsets"] == [mdat.offset + 8, mdat.offset + 18, mdat.offset + 38]
    assert track["media"] == [b"\x01" * 10, b"\x02" * 20, b"\x03" * 30]
    assert track["kinds"] == [b"stsd", b"stts", b"stsc", b"stsz", b"stco"]


def test_durations_beyond_32_bits_move_the_headers_to_version_1():
    long = run([1, 1], duration=0xFFFFFFFF)
    out = morvex.defragment_mp4(init_segment((1, 1000, b"vide")) + moof_mdat(1, [Traf(1, [long])]))
    (track,) = track_tables(out)
    assert track["mdhd"]["version"] == 1 and track["mdhd"]["duration"] == 2 * 0xFFFFFFFF
    assert track["tkhd"]["version"] == 1 and track["tkhd"]["duration"] == 2 * 0xFFFFFFFF
    assert track["mdhd"]["id"] == 1000


@pytest.mark.parametrize("header,message", [
    (box("mdhd", bytes(10)), "mdhd version 0 payload of 10 bytes"),
    (box("mdhd", b"\x01" + bytes(20)), "mdhd version 1 payload of 21 bytes"),
    (box("mdhd", b"\x00\x00"), "Not enough data for FullBox header"),
])
def test_short_headers_are_refused(header, message):
    t = box("trak", box("tkhd", bytes(24)), box("mdia", header, box("minf", box("stbl"))))
    data = ftyp() + box("moov", box("mvhd", bytes(20)), t)
    with pytest.raises(ValueError, match=message):
        morvex.defragment_mp4(data + moof_mdat(1, [Traf(0, [run([1], duration=1)])]))


# (decode times of 2^63 and more are read as negative, as muxers write times before 0)
@pytest.mark.parametrize("late", [9 * 10 ** 18, 2 ** 63 - 1], ids=["beyond-2^63-ms", "largest"])
def test_a_track_starting_absurdly_late_gets_the_longest_empty_edit(late):
    frag = moof_mdat(1, [Traf(1, [run([4], duration=1)], decode_time=0),
                         Traf(2, [run([3], fill=9, duration=1)], decode_time=late)])
    # in seconds (timescale 1), so the delay in the movie's milliseconds is beyond 64 bits
    out = morvex.defragment_mp4(init_segment(VIDEO, (2, 1, b"soun")) + frag)
    elst = find_all(out, "moov", "trak", "edts", "elst")
    assert len(elst) == 1 and elst[0].version == 1
    # entry_count, then the empty edit: segment_duration 2^63, media_time -1
    assert elst[0].payload[4:24] == u32(2) + (2 ** 63).to_bytes(8, "big") + b"\xff" * 8


@pytest.mark.parametrize("where", ["stbl", "mdia"])
def test_a_second_sample_table_is_left_out(where):
    # Readers take the first mdia of a trak and the first stbl of a minf; a
    # second one must not come out with tables of its own that disagree.
    if where == "stbl":
        video = trak(1, 12800, stbl=empty_stbl() + empty_stbl())
    else:
        full = trak(1, 12800)
        mdia = find(full, "trak", "mdia")
        video = box("trak", *(box(b.kind.decode(), b.payload) for b in walk(full[8:])), box("mdia", mdia.payload))
    head = ftyp() + moov(mvhd(), video, box("mvex", trex(1)))
    out = morvex.defragment_mp4(head + moof_mdat(1, [Traf(1, [run([3, 4], duration=1)])]))
    assert len(find_all(out, "moov", "trak", "mdia")) == 1
    assert len(find_all(out, "moov", "trak", "mdia", "minf", "stbl")) == 1
    assert track_tables(out)[0]["media"] == [bytes([0]) * 3, bytes([1]) * 4]


def test_a_trak_without_sample_table_is_refused():
    head = init_segment(VIDEO)
    bare = box("trak", box("tkhd", find(head, "moov", "trak", "tkhd").payload))
    data = ftyp() + box("moov", box("mvhd", find(head, "moov", "mvhd").payload), bare, box("mvex", trex(1)))
    with pytest.raises(ValueError, match="track_id 1 has no sample description"):
        morvex.defragment_mp4(data + moof_mdat(1, [Traf(1, [run([3, 4], duration=1)])]))


def test_an_empty_last_sample_reads_back():
    out = morvex.defragment_mp4(init_segment(VIDEO) + moof_mdat(1, [Traf(1, [run([3, 0], duration=1)])]))
    assert track_tables(out)[0]["media"] == [bytes(3), b""]
    with pytest.raises(ValueError, match="Not a fragmented MP4"):
        morvex.defragment_mp4(out)


@pytest.mark.parametrize("data,message", [
    (b"", "Not a fragmented MP4"),
    (b"\x00" * 7, "Not a fragmented MP4"),
    (init_segment(VIDEO), "Not a fragmented MP4"),
    (moof_mdat(1, [Traf(1, [run([1], duration=1)])]), "moov box not found"),
    (init_segment(VIDEO) + b"\x00\x00\x00\x01moof\x00\x00", "Not enough data"),
    (init_segment(VIDEO) + u32(100) + b"moof" + bytes(42), "Box size 100 exceeds available data"),
])
def test_errors(data, message):
    with pytest.raises(ValueError, match=message):
        morvex.defragment_mp4(data)
