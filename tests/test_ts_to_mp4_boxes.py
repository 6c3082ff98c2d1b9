"""The boxes of converted transport streams: what players read before decoding."""

import struct

import pytest

import morvex
from toolkit import mp4
from toolkit import FIXTURES


def convert(name: str) -> bytes:
    return morvex.convert_ts_to_mp4((FIXTURES / name).read_bytes())


def traks(data: bytes) -> dict[bytes, mp4.Box]:
    """The trak boxes by handler type."""
    out = {}
    for t in mp4.find(data, "moov").find_all("trak"):
        handler = t.find("mdia", "hdlr").payload[8:12]
        out[handler] = t
    return out


def edit_entries(trak: mp4.Box):
    elst = trak.find("edts", "elst")
    if elst is None:
        return None
    count = mp4.u32_at(elst.payload, 4)
    return [struct.unpack_from(">IiHH", elst.payload, 8 + 12 * i) for i in range(count)]


def sample_entry(trak: mp4.Box) -> mp4.Box:
    stsd = trak.find("mdia", "minf", "stbl", "stsd")
    return mp4.walk(stsd.payload[8:])[0]


@pytest.mark.parametrize("name", ["bframes_48k_stereo.ts", "interlaced.ts", "mono_44k.ts"])
def test_picture_size_is_the_cropped_size(name):
    video = traks(convert(name))[b"vide"]
    tkhd = video.find("tkhd").payload
    assert struct.unpack_from(">II", tkhd, 76) == (320 << 16, 240 << 16)
    assert struct.unpack_from(">HH", sample_entry(video).payload, 24) == (320, 240)


def test_b_frames_get_signed_composition_offsets_and_key_frames():
    tracks = mp4.track_tables(convert("bframes_48k_stereo.ts"))
    video = tracks[0]
    version, entries = video["ctts"]
    offsets = [o for _, o in entries]
    assert offsets[0] == 0
    assert min(offsets) < 0 and version == 1
    # Key frame every 25 pictures; stss comes after the other tables.
    assert video["stss"] == [1, 26]
    assert video["kinds"][-1] == b"stss"


def test_stream_without_reordering_has_no_ctts():
    video = mp4.track_tables(convert("mono_44k.ts"))[0]
    assert video["ctts"] is None


# Exact descriptors of a 48 kHz stereo AAC LC track.
ESDS_48K_STEREO = bytes.fromhex("0000000003190001000411401500030000 01f40000 01f400 0502 1190 060102".replace(" ", ""))


@pytest.mark.parametrize("name,timescale,delta,channels,rate,asc", [
    ("bframes_48k_stereo.ts", 90000, 1920, 2, 48000, "1190"),
    ("mono_44k.ts", 44100, 1024, 1, 44100, "1208"),
])
def test_audio_is_described_from_its_adts_header(name, timescale, delta, channels, rate, asc):
    data = convert(name)
    audio = traks(data)[b"soun"]
    assert mp4.header_fields(audio.find("mdia", "mdhd"))["id"] == timescale
    stts = mp4.table(audio.find("mdia", "minf", "stbl", "stts").payload, 2)
    assert stts[0][1] == delta
    mp4a = sample_entry(audio)
    assert struct.unpack_from(">H", mp4a.payload, 16)[0] == channels
    assert struct.unpack_from(">I", mp4a.payload, 24)[0] == rate << 16
    esds = mp4.walk(mp4a.payload[28:])[0]
    assert esds.payload[-5:-3].hex() == asc
    if rate == 48000:
        assert esds.payload == ESDS_48K_STEREO


@pytest.mark.parametrize("name,late", [("audio_late.ts", b"soun"), ("bframes_48k_stereo.ts", b"vide")])
def test_the_later_track_is_delayed_by_an_empty_edit(name, late):
    data = convert(name)
    by_handler = traks(data)
    early = b"vide" if late == b"soun" else b"soun"
    assert edit_entries(by_handler[early]) is None
    (gap, empty, _, _), (media_len, start, rate, _) = edit_entries(by_handler[late])
    assert empty == -1 and start == 0 and rate == 1
    assert gap > 0
    # tkhd counts the delay; mvhd carries the longest track.
    late_tkhd = mp4.header_fields(by_handler[late].find("tkhd"))["duration"]
    assert late_tkhd == gap + media_len
    durations = [mp4.header_fields(t.find("tkhd"))["duration"] for t in by_handler.values()]
    assert mp4.header_fields(mp4.find(data, "moov", "mvhd"))["duration"] == max(durations)


def test_audio_late_by_half_a_second():
    audio = traks(convert("audio_late.ts"))[b"soun"]
    gap = edit_entries(audio)[0][0]
    # The source's audio PES starts 0.478 s after the first picture.
    assert gap == pytest.approx(0.4787 * 90000, abs=90)


def test_chunk_offsets_point_at_the_samples():
    source = (FIXTURES / "bframes_48k_stereo.ts").read_bytes()
    data = morvex.convert_ts_to_mp4(source)
    video, audio = mp4.track_tables(data)
    mdat = mp4.find(data, "mdat")
    # The samples of both tracks tile the mdat payload exactly.
    spans = sorted((o, s) for t in (video, audio) for o, s in zip(t["offsets"], t["sizes"]))
    assert spans[0][0] == mdat.offset + 8
    assert all(o + s == spans[i + 1][0] for i, (o, s) in enumerate(spans[:-1]))
    assert spans[-1][0] + spans[-1][1] == mdat.offset + mdat.size
    # Interleaved in chunks of about half a second (2 s of media: 4 or 5 a
    # track), the audio is not left behind the video.
    assert 4 <= len(video["chunk_offsets"]) <= 5 and 4 <= len(audio["chunk_offsets"]) <= 5
    assert audio["chunk_offsets"][0] < video["chunk_offsets"][1]
    assert video["chunk_offsets"][-1] < audio["chunk_offsets"][-1] or audio["chunk_offsets"][-1] < video["chunk_offsets"][-1]
