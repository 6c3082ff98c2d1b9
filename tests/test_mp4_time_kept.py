"""MP4 rewriting keeps time on files FFmpeg made with the options under which it is easy
to lose (tests/toolkit/made.py): samples in the moov, negative composition offsets with a
late video, a DASH pair, HLS live segments whose audio leads, a lost fragment, CENC, PCM
in MOV. PyAV checks every output against its source: every frame at its time within 1 ms,
the A/V offset kept, as many pictures shown after the edit lists; an encrypted output
decrypts with its key to the source's pictures, or the call raised."""

from __future__ import annotations

import hashlib
import io
import struct

import av
import pytest

import morvex
from toolkit import FIXTURES, cenc, made
from toolkit.media import decode_order_faults, misplaced, timing
from toolkit.mp4 import find, header_fields, stsz_sizes, walk, without_fragment


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


def assert_plays_like(source: dict, out: dict, starts: bool = True):
    """Every frame of every stream where the source has it, relative to the first picture
    (the A/V offset); with `starts`, each stream's first frame at the source's instant too."""
    problems = misplaced(source, out) + [f for t in out.values() for f in decode_order_faults(t)]
    assert not problems, "\n".join(problems[:10])
    if starts:
        for kind in source:
            assert out[kind].frames[0] == pytest.approx(source[kind].frames[0], abs=0.001), kind


def as_regular(source: dict, data: bytes) -> dict:
    """The source's times as a regular file gives them: FFmpeg presents the samples of
    fragments with signed composition offsets later by the most negative offset (its dts
    shift), which it takes off the decode times of a regular file instead."""
    shift: dict[int, int] = {}
    for traf in (t for b in walk(data) if b.kind == b"moof" for t in b.find_all("traf")):
        track = struct.unpack_from(">I", traf.find("tfhd").payload, 4)[0]
        for run in traf.find_all("trun"):
            flags, count = struct.unpack_from(">II", run.payload, 0)
            if run.payload[0] != 1 or not flags & 0x800:
                continue
            pos = 12 + (4 if flags & 0x4 else 0)
            stride = sum(4 for f in (0x100, 0x200, 0x400, 0x800) if flags & f)
            for k in range(count):
                offset = struct.unpack_from(">i", run.payload, pos + k * stride + stride - 4)[0]
                shift[track] = max(shift.get(track, 0), -offset)
    moov = find(data, "moov")
    out = dict(source)
    for t in moov.find_all("trak"):
        track = header_fields(t.find("tkhd"))["id"]
        kind = {b"vide": "video", b"soun": "audio"}.get(t.find("mdia", "hdlr").payload[8:12])
        if kind in out and shift.get(track):
            seconds = shift[track] / header_fields(t.find("mdia", "mdhd"))["id"]
            moved = out[kind].__class__(**{**out[kind].__dict__})
            moved.frames = [f - seconds for f in out[kind].frames]
            out[kind] = moved
    return out


def duration(data: bytes) -> float:
    with av.open(io.BytesIO(data)) as c:
        return c.duration / av.time_base


# --- whole files: defragment, convert, reset ---------------------------------------------

SOURCES = {
    # FFmpeg's frag_keyframe without empty_moov: the moov holds the first second
    "samples in the moov": lambda: fixture("av_frag_moov.mp4"),
    "negative offsets, late video": made.negative_offsets_late_video,
}
ROADS = {
    "defragment_mp4": morvex.defragment_mp4,
    "convert_mp4_reset_timestamps": morvex.convert_mp4_reset_timestamps,
    "reset_mp4_timestamps": morvex.reset_mp4_timestamps,
}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("source", SOURCES)
def test_every_frame_keeps_its_time(source, road):
    data = SOURCES[source]()
    out = ROADS[road](data)
    src = timing(data)
    if road != "reset_mp4_timestamps":
        src = as_regular(src, data)
    got = timing(out)
    assert_plays_like(src, got, starts=False)
    # the earliest track starts at 0, the others keep their offset from it
    assert min(t.frames[0] for t in got.values()) == pytest.approx(0, abs=0.001)
    if road == "reset_mp4_timestamps":  # the headers say how long the fragments last
        assert duration(out) == pytest.approx(duration(data), abs=0.03)


def test_a_regular_file_that_starts_late_is_rebased_to_0():
    # every track after an empty edit, the audio's 22 ms shorter
    source = made.late_regular()
    src = timing(source)
    assert min(t.frames[0] for t in src.values()) > 1
    for road in (morvex.reset_mp4_timestamps, morvex.convert_mp4_reset_timestamps):
        out = road(source)
        assert len(out) == len(source)
        got = timing(out)
        assert_plays_like(src, got, starts=False)
        assert min(t.frames[0] for t in got.values()) == pytest.approx(0, abs=0.001)
        assert duration(out) == pytest.approx(duration(source), abs=0.03)


# --- two files, and the edits of fragmented ones ------------------------------------------

def test_a_dash_pair_muxes_with_its_offset_and_every_picture():
    # the video's init segment delays it 0.2 s, and both end their edit at "the whole media"
    video, audio = made.dash_pair()
    src = {"video": timing(video)["video"], "audio": timing(audio)["audio"]}
    assert_plays_like(src, timing(morvex.mux_fmp4_tracks(video, audio)))
    assert_plays_like(timing(video), timing(morvex.defragment_mp4(video)))


@pytest.mark.parametrize("road", ["defragment", "mux"])
def test_a_lost_fragment_stays_a_gap(road):
    video, audio = made.dash_pair()
    lossy = without_fragment(audio, 1)  # the audio's second second
    if road == "defragment":
        src, out = timing(lossy), timing(morvex.defragment_mp4(lossy))
    else:
        src = {"video": timing(video)["video"], "audio": timing(lossy)["audio"]}
        out = timing(morvex.mux_fmp4_tracks(video, lossy))
    assert_plays_like(src, out)
    gaps = [b - a for a, b in zip(out["audio"].frames, out["audio"].frames[1:])]
    assert max(gaps) == pytest.approx(1.0, abs=0.05)


# --- live segments -----------------------------------------------------------------------

def sidx_and_tfdt(segment: bytes) -> dict[int, tuple[int, int]]:
    """Per track: the earliest_presentation_time of its sidx and its first tfdt."""
    times: dict[int, list[int]] = {}
    for b in walk(segment):
        if b.kind == b"sidx":
            wide = b.payload[0] == 1
            track = struct.unpack_from(">I", b.payload, 4)[0]
            times[track] = [struct.unpack_from(">Q" if wide else ">I", b.payload, 12)[0]]
    for traf in (t for b in walk(segment) if b.kind == b"moof" for t in b.find_all("traf")):
        track = struct.unpack_from(">I", traf.find("tfhd").payload, 4)[0]
        p = traf.find("tfdt").payload
        times.setdefault(track, [None]).append(struct.unpack_from(">Q" if p[0] == 1 else ">I", p, 4)[0])
    return {track: (t[0], t[1]) for track, t in times.items()}


@pytest.mark.parametrize("road", ["processor", "processor without init", "reset"])
def test_live_segments_whose_audio_leads(road):
    init, segments = made.hls_live_audio_leading()
    if road == "reset":  # the segments joined: the same bytes at the same places
        joined = morvex.reset_mp4_timestamps(init + b"".join(segments))[len(init):]
        out, at = [], 0
        for s in segments:
            out.append(joined[at:at + len(s)])
            at += len(s)
    else:
        p = morvex.FragmentedMP4Processor()
        if road == "processor":
            p.set_init_segment(init)
        out = [p.process_segment(s) for s in segments]
    src, got = timing(init + b"".join(segments)), timing(init + b"".join(out))
    if road != "processor without init":  # one instant for both tracks: the audio's start
        assert_plays_like(src, got, starts=False)
        assert got["audio"].frames[0] == pytest.approx(0, abs=0.001)
    else:  # each track by its own first time
        for kind in src:
            assert len(got[kind].frames) == len(src[kind].frames)
            assert got[kind].frames[0] == pytest.approx(0, abs=0.001)
    for before, after in zip(segments, out):
        for track, (sidx, tfdt) in sidx_and_tfdt(before).items():
            sidx_out, tfdt_out = sidx_and_tfdt(after)[track]
            assert sidx - sidx_out == tfdt - tfdt_out  # sidx and tfdt count in the track's timescale here


@pytest.mark.parametrize("with_init", [True, False], ids=["init segment", "no init segment"])
def test_rebased_live_segments_play_in_chromium_from_0(with_init, tmp_path):
    import os

    from test_transmuxer_browser import CHROMIUM, codecs_of, play

    if CHROMIUM is None:
        if os.environ.get("MORVEX_REQUIRE_BROWSER") == "1":
            pytest.fail("chromium is not installed (MORVEX_REQUIRE_BROWSER=1)")
        pytest.skip("chromium is not installed")
    init, segments = made.hls_live_audio_leading()
    p = morvex.FragmentedMP4Processor()
    if with_init:
        p.set_init_segment(init)
    files = ["init.mp4"] + [f"seg{k}.m4s" for k in range(len(segments))]
    (tmp_path / "init.mp4").write_bytes(init)
    for name, segment in zip(files[1:], segments):
        (tmp_path / name).write_bytes(p.process_segment(segment))
    result = play(tmp_path, files, codecs_of(init))
    assert "error" not in result, result
    assert len(result["ranges"]) == 1 and result["ranges"][0][0] == pytest.approx(0, abs=0.001), result
    assert result["ended"] is True
    assert result["frames"] == len(timing(init + b"".join(segments))["video"].frames), result


# --- encryption ----------------------------------------------------------------------------

def pictures(data: bytes, key: str | None = None) -> dict[str, tuple[int, str]]:
    """Per stream: the number of pictures (of audio samples) decoded and a checksum of them."""
    out = {}
    options = {"decryption_key": key} if key else {}
    for kind in ("video", "audio"):
        with av.open(io.BytesIO(data), options=options) as c:
            streams = getattr(c.streams, kind)
            if not streams:
                continue
            h, n = hashlib.md5(), 0
            for frame in c.decode(streams[0]):
                h.update(frame.to_ndarray().tobytes())
                n += frame.samples if kind == "audio" else 1
            out[kind] = (n, h.hexdigest())
    return out


KEY, KID = bytes.fromhex(made.CENC_KEY), bytes.fromhex(made.CENC_KID)


@pytest.mark.parametrize("road", ["defragment", "mux"])
def test_encrypted_fragments_decrypt_with_their_key(road):
    if road == "defragment":
        # against the clear file through the same road: FFmpeg 8 trims a regular MP4's
        # last audio sample to its stts duration but not a fragment's
        clear = fixture("av_frag.mp4")
        expected = pictures(morvex.defragment_mp4(clear))
        out = morvex.defragment_mp4(cenc.encrypt(clear, KEY, KID))
    else:
        video, audio = fixture("video_frag.mp4"), fixture("audio_frag.mp4")
        expected = pictures(morvex.mux_fmp4_tracks(video, audio))
        out = morvex.mux_fmp4_tracks(cenc.encrypt(video, KEY, KID), audio)
    assert pictures(out, made.CENC_KEY) == expected
    # the IVs went with the samples: without them no key helps
    stbl = find(out, "moov", "trak", "mdia", "minf", "stbl")
    assert [c.kind for c in stbl.children()][-3:] == [b"senc", b"saio", b"saiz"]


def test_an_encrypted_regular_file_muxes_and_decrypts():
    video, audio = made.cenc_regular(), fixture("audio_regular.mp4")
    out = morvex.mux_fmp4_tracks(video, audio)
    assert pictures(out, made.CENC_KEY)["video"] == pictures(video, made.CENC_KEY)["video"]


@pytest.mark.parametrize("road", [morvex.defragment_mp4, lambda d: morvex.mux_fmp4_tracks(d, d)],
                         ids=["defragment", "mux"])
def test_encryption_that_cannot_be_carried_is_refused(road):
    # FFmpeg 5.1 writes no IVs into the fragments: nothing could decrypt them
    with pytest.raises(ValueError, match='^track_id 1 is encrypted with scheme "cenc" and its sample auxiliary'):
        road(made.cenc())


@pytest.mark.parametrize("make", [made.cenc, made.cenc_regular, lambda: cenc.encrypt(fixture("av_frag.mp4"), KEY, KID)],
                         ids=["FFmpeg fragments", "FFmpeg regular", "toolkit fragments"])
def test_the_key_frame_of_an_encrypted_track_is_refused(make):
    with pytest.raises(ValueError, match='^The video track is encrypted with scheme "cenc"'):
        morvex.extract_thumbnail_from_mp4(make())


# --- PCM ------------------------------------------------------------------------------------

def test_pcm_samples_of_one_size_get_one_stsz_size():
    video, pcm = fixture("video_regular.mp4"), made.pcm_mov()
    out = morvex.mux_fmp4_tracks(video, pcm)
    assert len(out) < len(video) + len(pcm) + 4096
    stsz = find(out, "moov").find_all("trak")[1].find("mdia", "minf", "stbl", "stsz")
    assert struct.unpack_from(">II", stsz.payload, 4) == (4, len(stsz_sizes(stsz.payload)))
    assert pictures(out)["audio"] == pictures(pcm)["audio"]
