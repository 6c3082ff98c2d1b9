"""Transport streams as broadcast, capture and HLS chains produce them:
streams cut at any byte or time, DVB PATs, PES in front of the first PMT,
a resolution change, joined recordings and HLS segments across a
discontinuity, 192- and 204-byte packets, garbage between packets, MPEG
audio and ADTS on other stream types, streams the module does not carry.
Every output is read back by PyAV (FFmpeg's demuxers and decoders) and
compared with what its source holds."""

import contextlib
import io

import av
import pytest

import morvex
from toolkit import FIXTURES, h264, mp4, ts, tsedit
from toolkit.media import Timing, decode_order_faults, misplaced, timing

VIDEO_PID, AUDIO_PID, PMT_PID = 256, 257, 0x1000


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


def hls_ts(folder: str) -> bytes:
    """The media segments of an HLS transport-stream fixture, in playlist order."""
    lines = (FIXTURES / folder / "stream.m3u8").read_text().splitlines()
    return b"".join((FIXTURES / folder / ln).read_bytes() for ln in lines if ln and not ln.startswith("#"))


def convert(data: bytes) -> tuple[bytes, list[str]]:
    """The MP4 and the report lines, read through sys.stdout."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        mp4_bytes = morvex.convert_ts_to_mp4(data)
    return mp4_bytes, out.getvalue().splitlines()


def faults(t: dict[str, Timing]) -> list[str]:
    return [f for s in t.values() for f in decode_order_faults(s)]


def stsd_entry(data: bytes, track: int = 0) -> mp4.Box:
    trak = mp4.find(data, "moov").find_all("trak")[track]
    return mp4.walk(trak.find("mdia", "minf", "stbl", "stsd").payload[8:])[0]


def object_type_indication(mp4a: mp4.Box) -> int:
    """objectTypeIndication of the DecoderConfigDescriptor in the esds of an
    mp4a entry (ISO/IEC 14496-1 7.2.6.5 and 7.2.6.6)."""
    esds = next(b for b in mp4.walk(mp4a.payload[28:]) if b.kind == b"esds").payload[4:]

    def skip_length(pos: int) -> int:
        while esds[pos] & 0x80:
            pos += 1
        return pos + 1

    assert esds[0] == 0x03, "ES_Descriptor"
    pos = skip_length(1)
    flags = esds[pos + 2]
    pos += 3
    if flags & 0x80:
        pos += 2
    if flags & 0x40:
        pos += 1 + esds[pos]
    if flags & 0x20:
        pos += 2
    assert esds[pos] == 0x04, "DecoderConfigDescriptor"
    return esds[skip_length(pos + 1)]


def audio_format(data: bytes) -> tuple[int, int]:
    # Not the decoder's name: FFmpeg reads MPEG audio in MP4 (0x69, 0x6B)
    # with its MP3 decoder, which also decodes Layer I and II.
    with av.open(io.BytesIO(data)) as c:
        a = c.streams.audio[0].codec_context
        return a.sample_rate, a.channels


# --- start at the first IDR ---------------------------------------------------

CUTS = {
    "B-frames cut at 20% of its bytes": lambda: tsedit.cut(fixture("bframes_48k_stereo.ts"), 0.20),
    "B-frames cut at 37% of its bytes": lambda: tsedit.cut(fixture("bframes_48k_stereo.ts"), 0.37),
    "44.1 kHz mono without B-frames cut at 30%": lambda: tsedit.cut(fixture("mono_44k.ts"), 0.30),
    "four slices a picture cut at 25%": lambda: tsedit.cut(fixture("slices4.ts"), 0.25),
    "33-bit clock wrap cut at 37%": lambda: tsedit.cut(fixture("wrap.ts"), 0.37),
    "stream copy cut by time (ffmpeg -ss 0.5 -copyinkf)": lambda: fixture("cut_by_time.ts"),
}


@pytest.mark.parametrize("make", CUTS.values(), ids=CUTS.keys())
def test_cut_stream_starts_at_its_first_idr_in_sync(make):
    data = make()
    expected = tsedit.from_first_idr(data)
    out, _ = convert(data)
    got = timing(out)
    problems = misplaced(expected, got)
    assert not problems, "\n".join(problems[:10])
    assert got["video"].keys[0], "the first packet is not a key frame"
    assert mp4.track_tables(out)[0]["stss"][0] == 1
    assert not faults(got), "\n".join(faults(got)[:10])


def test_stream_without_an_idr_keeps_every_picture():
    # Parameter sets in front of the first picture, but no IDR slice at all
    # (a capture of a stream refreshed by intra slices).
    w = ts.TsWriter().pat({1: PMT_PID}).pmt(PMT_PID, [ts.Stream(ts.H264, VIDEO_PID)])
    w.pes(VIDEO_PID, ts.VIDEO_STREAM_ID, h264.annexb(h264.aud(), h264.sps(), h264.pps(), h264.slice_nal(idr=False)),
          pts=3000)
    for n in range(1, 5):
        w.pes(VIDEO_PID, ts.VIDEO_STREAM_ID, h264.annexb(h264.aud(), h264.slice_nal(idr=False)), pts=3000 + 3600 * n)
    out, _ = convert(w.bytes())
    assert len(mp4.track_tables(out)[0]["sizes"]) == 5


# --- whole streams in other layouts ---------------------------------------------

NIT = ts.psi_packets(0x10, ts.section(0x40, 1, b"\xf0\x00\xf0\x00"))

# input, and the FFmpeg stream whose timing, key frames and audio format it must keep
LAYOUTS = {
    # DVB: the network PID (program_number 0) first, a NIT behind each PAT
    "PAT with the network PID first": (
        lambda: tsedit.insert_after(tsedit.with_pat(fixture("bframes_48k_stereo.ts"), [(0, 0x10), (1, PMT_PID)]),
                                    0, NIT),
        "bframes_48k_stereo.ts"),
    # a cut just behind the PSI: 0.1 s of PES before the first PMT
    "PES before the first PMT": (lambda: tsedit.drop_first_psi(fixture("bframes_48k_stereo.ts")),
                                 "bframes_48k_stereo.ts"),
    "PES before the first PMT, 44.1 kHz mono": (lambda: tsedit.drop_first_psi(fixture("mono_44k.ts")),
                                                "mono_44k.ts"),
    # BDAV: 4-byte arrival time stamps holding 0x47 bytes, ADTS on stream type 0x06
    "192-byte packets, audio on 0x06": (
        lambda: tsedit.m2ts(tsedit.edit_pmt(fixture("bframes_48k_stereo.ts"), types={AUDIO_PID: 0x06})),
        "bframes_48k_stereo.ts"),
    "204-byte packets": (lambda: tsedit.trailing_204(fixture("bframes_48k_stereo.ts")), "bframes_48k_stereo.ts"),
    "garbage between two packets": (
        lambda: tsedit.insert_garbage(fixture("bframes_48k_stereo.ts"), 0.5, b"\x47\x00\x47garbage\x47"),
        "bframes_48k_stereo.ts"),
    "garbage between two 192-byte packets": (
        lambda: tsedit.insert_garbage(tsedit.m2ts(fixture("mono_44k.ts")), 0.4, b"\x12\x47\x47\x00\x47", 192),
        "mono_44k.ts"),
    "ADTS on stream type 0x03": (lambda: tsedit.edit_pmt(fixture("mono_44k.ts"), types={AUDIO_PID: 0x03}),
                                 "mono_44k.ts"),
    "ADTS on stream type 0x04": (lambda: tsedit.edit_pmt(fixture("bframes_48k_stereo.ts"), types={AUDIO_PID: 0x04}),
                                 "bframes_48k_stereo.ts"),
    "ADTS on stream type 0x06": (lambda: tsedit.edit_pmt(fixture("mono_44k.ts"), types={AUDIO_PID: 0x06}),
                                 "mono_44k.ts"),
    # FFmpeg's libmp3lame (MPEG-1 Layer III, 44.1 kHz) and mp2 at 24 kHz (MPEG-2 Layer II)
    "MP3 on stream type 0x03": (lambda: fixture("mp3_audio.ts"), "mp3_audio.ts"),
    "MP2 on stream type 0x04": (lambda: fixture("mp2_audio.ts"), "mp2_audio.ts"),
}


@pytest.mark.parametrize("make, source", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_stream_converts_like_its_source(make, source):
    src = timing(fixture(source))
    out, _ = convert(make())
    got = timing(out)
    problems = misplaced(src, got)
    assert not problems, "\n".join(problems[:10])
    assert not faults(got), "\n".join(faults(got)[:10])
    assert got["video"].keys == src["video"].keys
    assert audio_format(out) == audio_format(fixture(source))


@pytest.mark.parametrize("source, object_type, rate", [
    ("mp3_audio.ts", 0x6B, 44100),  # MPEG-1 audio
    ("mp2_audio.ts", 0x69, 24000),  # MPEG-2 audio (half sampling rates)
], ids=["MP3 44.1 kHz", "MP2 24 kHz"])
def test_mpeg_audio_sample_entry(source, object_type, rate):
    out, _ = convert(fixture(source))
    entry = stsd_entry(out, 1)
    assert entry.kind == b"mp4a"
    assert object_type_indication(entry) == object_type
    assert mp4.header_fields(mp4.find(out, "moov").find_all("trak")[1].find("mdia", "mdhd"))["id"] == rate


# --- streams the module does not carry ---------------------------------------------

def teletext_pes(pts: int) -> bytes:
    """An EBU teletext PES (EN 300 472): data_identifier 0x10 and one
    stuffing data unit, in private_stream_1."""
    return ts.pes(0xBD, b"\x10" + b"\xff\x2c" + b"\xff" * 44, pts=pts)


def with_teletext_and_ac3(data: bytes) -> bytes:
    extra = [ts.Stream(0x06, 0x102, ts.descriptor(0x56, b"eng\x09\x00")), ts.Stream(0x81, 0x103)]
    data = tsedit.edit_pmt(data, extra=extra)
    # one teletext PES (one packet) behind every fourth PMT, 0.4 s apart
    return tsedit.insert_after(data, PMT_PID, lambda n: ts.packetise(0x102, teletext_pes(126000 + 36000 * n), cc=n),
                               every=4)


SKIPPED = {
    # FFmpeg's AC-3 (stream type 0x81) beside H.264
    "AC-3 audio": (lambda: fixture("ac3_audio.ts"), "ac3_audio.ts", "none", [(AUDIO_PID, 0x81)]),
    # a DVB teletext PID (0x06 with a teletext descriptor) and an AC-3 entry beside H.264 and AAC
    "teletext and AC-3 entries": (lambda: with_teletext_and_ac3(fixture("bframes_48k_stereo.ts")),
                                  "bframes_48k_stereo.ts", str(AUDIO_PID), [(0x102, 0x06), (0x103, 0x81)]),
}


@pytest.mark.parametrize("make, source, audio, skipped", SKIPPED.values(), ids=SKIPPED.keys())
def test_streams_not_carried_are_left_out_and_reported(make, source, audio, skipped):
    data = make()
    out, lines = convert(data)
    src = timing(fixture(source))
    got = timing(out)
    assert len(got["video"].frames) == len(src["video"].frames)
    assert ("audio" in got) == (audio != "none")
    extra = [f"Skipped PID {pid}: stream type 0x{kind:02X}" for pid, kind in skipped]
    assert lines[-len(extra):] == extra
    # The lines in front are those of the same stream without these entries.
    _, existing = convert(tsedit.edit_pmt(data, drop={pid for pid, _ in skipped}))
    assert lines[:-len(extra)] == existing
    assert existing[0] == f"Found PIDs - Video: {VIDEO_PID}, Audio: {audio}"


def test_hevc_video_is_named_in_the_error():
    with pytest.raises(ValueError, match=r"^Unsupported video stream type 0x24 \(HEVC\)$"):
        convert(fixture("hevc.ts"))


# --- parameter sets ------------------------------------------------------------------

def test_resolution_change_decodes_with_in_band_parameter_sets():
    # A 320x240 recording followed by a 640x360 one, as `cat a.ts b.ts` makes it.
    first, second = fixture("bframes_48k_stereo.ts"), fixture("size640.ts")
    out, _ = convert(first + second)
    got = timing(out)
    assert not faults(got), "\n".join(faults(got)[:10])
    sizes = []
    with av.open(io.BytesIO(out)) as c:
        for frame in c.decode(c.streams.video[0]):
            sizes.append((frame.width, frame.height))
    n1, n2 = len(timing(first)["video"].frames), len(timing(second)["video"].frames)
    assert sizes == [(320, 240)] * n1 + [(640, 360)] * n2
    assert stsd_entry(out).kind == b"avc3"
    tkhd = mp4.find(out, "moov", "trak", "tkhd").payload
    assert (int.from_bytes(tkhd[76:78], "big"), int.from_bytes(tkhd[80:82], "big")) == (320, 240)


@pytest.mark.parametrize("make", [
    lambda: fixture("bframes_48k_stereo.ts"),
    lambda: fixture("bframes_48k_stereo.ts") * 2,
    lambda: tsedit.cut(fixture("bframes_48k_stereo.ts"), 0.37),
], ids=["one recording", "the same recording twice", "cut at 37%"])
def test_unchanged_parameter_sets_keep_avc1(make):
    out, _ = convert(make())
    assert stsd_entry(out).kind == b"avc1"


# --- discontinuities -------------------------------------------------------------------

B = "bframes_48k_stereo.ts"

# the parts, each as PyAV reads it on its own, and the input made of them
JOINS = {
    # two recordings whose clocks both start near 1.4 s
    "cat of two recordings": (lambda: [fixture(B), fixture(B)], None),
    "cat of 320x240 and 640x360 recordings": (lambda: [fixture(B), fixture("size640.ts")], None),
    # the second recording's clock near 95441 s, across the 33-bit wrap
    "cat of a recording and a wrapped-clock one": (lambda: [fixture(B), fixture("wrap.ts")], None),
    # HLS segments of two renditions, the second's clock starting at 1000 s
    "HLS segments across a discontinuity": (lambda: [hls_ts("hls_ts_a"), hls_ts("hls_ts_b")], None),
    # the same recording again 10 s later: 8 s forward
    "forward jump of 8 s": (lambda: [fixture(B), fixture(B)], lambda a, b: a + tsedit.shift(b, 10)),
    # 1 s forward, marked by discontinuity_indicator in each PID
    "discontinuity_indicator": (lambda: [fixture(B), fixture(B)],
                                lambda a, b: a + tsedit.shift(b, 3, discontinuity=True)),
}


def split(t: Timing, n: int) -> tuple[Timing, Timing]:
    return (Timing(t.kind, frames=t.frames[:n], rate=t.rate),
            Timing(t.kind, frames=t.frames[n:], rate=t.rate))


def duration(data: bytes) -> float:
    with av.open(io.BytesIO(data)) as c:
        return c.duration / av.time_base


@pytest.mark.parametrize("parts, join", JOINS.values(), ids=JOINS.keys())
def test_joined_streams_play_through(parts, join):
    a, b = parts()
    data = join(a, b) if join else a + b
    ta, tb = timing(a), timing(b)
    out, _ = convert(data)
    got = timing(out)
    assert not faults(got), "\n".join(faults(got)[:10])
    pieces: dict[str, tuple[Timing, Timing]] = {}
    for kind in ("video", "audio"):
        assert len(got[kind].frames) == len(ta[kind].frames) + len(tb[kind].frames), kind
        pieces[kind] = split(got[kind], len(ta[kind].frames))
    for n, src in enumerate((ta, tb)):
        problems = misplaced(src, {kind: pieces[kind][n] for kind in pieces})
        assert not problems, f"part {n + 1}:\n" + "\n".join(problems[:10])
    # The second part continues one frame after the first part's last frame.
    step = {"video": 0.04, "audio": 1024 / ta["audio"].rate}
    for kind, (first, second) in pieces.items():
        gap = second.frames[0] - (first.frames[-1] + step[kind])
        assert abs(gap) <= 0.045, f"{kind}: second part {gap:+.3f} s from where the first ended"
    assert duration(out) == pytest.approx(duration(a) + duration(b), abs=0.1)


def test_short_forward_gap_is_kept():
    # 2 s of nothing between the recordings, no discontinuity_indicator:
    # a hole in the timeline, not a new one.
    a = fixture(B)
    b = tsedit.shift(a, 4)
    got = timing(convert(a + b)[0])
    n = len(timing(a)["video"].frames)
    assert got["video"].frames[n] - got["video"].frames[0] == pytest.approx(4, abs=0.001)
