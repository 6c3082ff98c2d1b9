"""HEVC video and AC-3 / E-AC-3 audio end to end, checked with PyAV against
the sources: transport streams converted to MP4 (frame counts, picture
size, sample rate, channels, key frames, timing and B-frame composition
offsets), the sample entries and their configuration boxes, an HEVC
fragmented MP4 through the MP4 roads, and HEVC key frames."""

from __future__ import annotations

import contextlib
import random
import io

import av
import pytest

import morvex
from toolkit import FIXTURES, mp4
from toolkit.media import decode_order_faults, misplaced, timing
from toolkit.picture import assert_same_picture


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


def convert(data: bytes) -> tuple[bytes, list[str]]:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = morvex.convert_ts_to_mp4(data)
    return result, out.getvalue().splitlines()


def streams(data: bytes) -> dict[str, tuple]:
    """Codec and format of the first video and audio stream."""
    with av.open(io.BytesIO(data)) as c:
        out = {}
        if c.streams.video:
            v = c.streams.video[0].codec_context
            out["video"] = (v.name, v.width, v.height)
        if c.streams.audio:
            a = c.streams.audio[0].codec_context
            out["audio"] = (a.name, a.sample_rate, a.channels)
        return out


def entry(data: bytes, track: int) -> mp4.Box:
    trak = mp4.find(data, "moov").find_all("trak")[track]
    return mp4.walk(trak.find("mdia", "minf", "stbl", "stsd").payload[8:])[0]


def entry_children(e: mp4.Box, fields: int) -> dict[bytes, mp4.Box]:
    return {b.kind: b for b in mp4.walk(e.payload[fields:])}


def assert_plays_like(source: dict, out: dict):
    problems = misplaced(source, out) + [f for t in out.values() for f in decode_order_faults(t)]
    assert not problems, "\n".join(problems[:10])


# --- transport streams to MP4 ------------------------------------------------------

CASES = {  # source, video entry, audio entry, format PyAV decodes from the source
    "HEVC + AAC": ("hevc_aac.ts", b"hvc1", b"mp4a", {"video": ("hevc", 160, 90), "audio": ("aac", 48000, 2)}),
    "HEVC alone": ("hevc.ts", b"hvc1", None, {"video": ("hevc", 320, 240)}),
    "H.264 + AC-3": ("ac3_audio.ts", b"avc1", b"ac-3", {"video": ("h264", 320, 240), "audio": ("ac3", 48000, 2)}),
    "H.264 + E-AC-3 5.1": ("h264_eac3.ts", b"avc1", b"ec-3",
                           {"video": ("h264", 160, 90), "audio": ("eac3", 48000, 6)}),
}


@pytest.mark.parametrize("name, video_entry, audio_entry, formats", CASES.values(), ids=CASES.keys())
def test_converted_file_decodes_like_the_source(name, video_entry, audio_entry, formats):
    source = fixture(name)
    out, _ = convert(source)
    assert streams(source) == formats  # the fixture is what the case says
    assert streams(out) == formats
    src, got = timing(source), timing(out)
    assert_plays_like(src, got)
    # Key frames: the same pictures, and the file starts at one.
    assert got["video"].keys == src["video"].keys
    assert got["video"].keys[0]
    if "audio" in src:
        assert got["audio"].rate == src["audio"].rate
    assert entry(out, 0).kind == video_entry
    if audio_entry:
        assert entry(out, 1).kind == audio_entry


def test_hevc_b_frames_get_composition_offsets():
    source = fixture("hevc_aac.ts")
    out, _ = convert(source)
    stbl = mp4.find(out, "moov").find_all("trak")[0].find("mdia", "minf", "stbl")
    offsets = mp4.table(stbl.find("ctts").payload, 2)
    assert len({o for _, o in offsets}) > 1  # reordered pictures
    # Sync samples are the source's IRAP pictures, in decoding order.
    keys = [n + 1 for n, key in enumerate(timing(source)["video"].keys) if key]
    assert len(keys) > 1
    assert [s for (s,) in mp4.table(stbl.find("stss").payload, 1)] == keys


def test_hvcc_carries_the_streams_parameter_sets():
    out, _ = convert(fixture("hevc_aac.ts"))
    e = entry(out, 0)
    hvcc = entry_children(e, 78)[b"hvcC"].payload
    assert hvcc[0] == 1 and hvcc[1] & 0x1F == 1  # version 1, Main profile
    assert hvcc[21] & 0x03 == 3  # 4-byte lengths
    arrays, pos, types = hvcc[22], 23, []
    for _ in range(arrays):
        kind, count = hvcc[pos], int.from_bytes(hvcc[pos + 1:pos + 3], "big")
        assert kind & 0x80  # array_completeness: no set comes in-band
        types.append(kind & 0x3F)
        pos += 3
        for _ in range(count):
            pos += 2 + int.from_bytes(hvcc[pos:pos + 2], "big")
    assert types == [32, 33, 34] and pos == len(hvcc)
    # The visual entry has the size inside the conformance window.
    assert int.from_bytes(e.payload[24:26], "big") == 160 and int.from_bytes(e.payload[26:28], "big") == 90


def dolby_box(data: bytes) -> tuple[bytes, bytes]:
    e = entry(data, 1)
    (kind, b), = entry_children(e, 28).items()
    return kind, b.payload


def test_dac3_and_dec3_describe_the_streams():
    kind, dac3 = dolby_box(convert(fixture("ac3_audio.ts"))[0])
    v = int.from_bytes(dac3, "big")
    # fscod 0 (48 kHz), bsid 8, acmod 2 (L R), no LFE, 64 kbit/s (code 4)
    assert (kind, v >> 22, (v >> 17) & 0x1F, (v >> 11) & 7, (v >> 10) & 1, (v >> 5) & 0x1F) == (b"dac3", 0, 8, 2, 0, 4)
    kind, dec3 = dolby_box(convert(fixture("h264_eac3.ts"))[0])
    assert kind == b"dec3"
    assert int.from_bytes(dec3[:2], "big") >> 3 == 96 and dec3[1] & 7 == 0  # 96 kbit/s, one substream
    # fscod 0, bsid 16; acmod 7 (3/2) with the LFE; no dependent substream
    assert (dec3[2] >> 6, (dec3[2] >> 1) & 0x1F, (dec3[3] >> 1) & 7, dec3[3] & 1, dec3[4] >> 1 & 0xF) == (0, 16, 7, 1, 0)


def test_audio_is_timed_in_its_sample_rate_1536_a_frame():
    out, lines = convert(fixture("h264_eac3.ts"))
    trak = mp4.find(out, "moov").find_all("trak")[1]
    assert mp4.header_fields(trak.find("mdia", "mdhd"))["id"] == 48000
    stts = mp4.table(trak.find("mdia", "minf", "stbl", "stts").payload, 2)
    assert {delta for _, delta in stts} == {1536}
    assert not any(line.startswith("Skipped PID") for line in lines)


def test_ac3_in_a_private_stream_with_its_descriptor():
    # The same AC-3 PID announced as DVB does: stream type 0x06 with the AC-3
    # descriptor (tag 0x6A).
    from toolkit import ts, tsedit
    source = fixture("ac3_audio.ts")
    audio_pid = 257
    data = tsedit.edit_pmt(source, drop={audio_pid}, extra=[ts.Stream(0x06, audio_pid, ts.descriptor(0x6A, b"\x00"))])
    out, lines = convert(data)
    assert streams(out)["audio"] == ("ac3", 48000, 2)
    assert lines[0] == f"Found PIDs - Video: 256, Audio: {audio_pid}"
    assert_plays_like(timing(source), timing(out))


# --- HEVC through the MP4 roads ------------------------------------------------------

def test_hevc_fragments_defragment_and_mux():
    frag = fixture("hevc_frag.mp4")
    src = timing(frag)
    regular = morvex.defragment_mp4(frag)
    assert entry(regular, 0).kind == b"hvc1"
    assert_plays_like(src, timing(regular))
    assert timing(regular)["video"].keys == src["video"].keys

    audio = fixture("audio_frag.mp4")
    muxed = morvex.mux_fmp4_tracks(frag, audio)
    both = {"video": src["video"], "audio": timing(audio)["audio"]}
    got = timing(muxed)
    assert streams(muxed)["video"] == ("hevc", 160, 90)
    assert len(got["video"].frames) == len(both["video"].frames)
    assert len(got["audio"].frames) == len(both["audio"].frames)
    assert not [f for t in got.values() for f in decode_order_faults(t)]


def test_hevc_fragments_reset_and_go_through_the_processor():
    frag = fixture("hevc_frag.mp4")
    src = timing(frag)
    reset = morvex.reset_mp4_timestamps(frag)
    assert_plays_like(src, timing(reset))
    boxes = mp4.walk(frag)
    init = b"".join(frag[b.offset:b.offset + b.size] for b in boxes if b.kind in (b"ftyp", b"moov"))
    segments = b"".join(frag[b.offset:b.offset + b.size] for b in boxes if b.kind in (b"moof", b"mdat"))
    p = morvex.FragmentedMP4Processor()
    p.set_init_segment(init)
    out = p.process_segment(segments)
    assert_plays_like(src, timing(init + out))


# --- HEVC key frames -------------------------------------------------------------------

@pytest.mark.parametrize("name", ["hevc_aac.ts", "hevc.ts"])
def test_hevc_key_frame_of_a_transport_stream_and_its_mp4(name):
    source = fixture(name)
    key = morvex.extract_thumbnail_from_ts(source)
    types = [(key[i + 3] >> 1) & 0x3F for i in range(len(key) - 3) if key[i:i + 3] == b"\x00\x00\x01"]
    assert types[:3] == [32, 33, 34] and 16 <= types[3] <= 23
    assert_same_picture(key, source, "hevc")
    assert_same_picture(morvex.extract_thumbnail_from_mp4(convert(source)[0]), source, "hevc")


def test_hevc_key_frame_of_a_fragmented_mp4():
    frag = fixture("hevc_frag.mp4")
    assert_same_picture(morvex.extract_thumbnail_from_mp4(frag), frag, "hevc")


def test_hevc_resolution_change_carries_parameter_sets_in_band():
    # A 320x240 recording followed by a 160x90 one, as `cat a.ts b.ts` makes it:
    # the SPS changes, so the samples keep theirs (hev1).
    source = fixture("hevc.ts") + fixture("hevc_aac.ts")
    out, _ = convert(source)
    assert entry(out, 0).kind == b"hev1"
    got = timing(out)["video"]
    assert len(got.frames) == len(timing(source)["video"].frames)
    assert not decode_order_faults(got)
    with av.open(io.BytesIO(out)) as c:
        sizes = [(f.width, f.height) for f in c.decode(video=0)]
    assert sizes[0] == (320, 240) and sizes[-1] == (160, 90)


@pytest.mark.parametrize("name", ["hevc_aac.ts", "h264_eac3.ts", "ac3_audio.ts"])
def test_damaged_streams_convert_or_fail_cleanly(name):
    # Bytes changed into start codes, HEVC NAL headers and AC-3 sync words
    # anywhere in the stream.
    source = fixture(name)
    rng = random.Random(12)
    for _ in range(60):
        data = bytearray(source)
        for _ in range(rng.randrange(1, 40)):
            at = rng.randrange(len(data) - 2)
            data[at:at + 2] = rng.choice((b"\x0b\x77", b"\x00\x01", b"\x26\x01", b"\x40\x01", b"\x00\x00",
                                          bytes([rng.randrange(256), rng.randrange(256)])))
        for road in (convert, morvex.extract_thumbnail_from_ts):
            try:
                road(bytes(data))
            except ValueError:
                pass
