"""TransportStreamTransmuxer: a live TS fed in pieces gives the fragmented
MP4 that the whole stream converts to, whatever the cuts; HLS segments play
in a decoder as the source does, across a timestamp jump and a programme
change; the object's surface (init segment, reset, flush, threads)."""

import io
import threading

import av
import pytest

import morvex
from toolkit import FIXTURES, made, pcm, repack, tsedit

HLS_A = [FIXTURES / "hls_ts_a" / f"seg{n}.ts" for n in (0, 1)]
HLS_B = [FIXTURES / "hls_ts_b" / f"seg{n}.ts" for n in (0, 1)]


def transmux(pieces):
    t = morvex.TransportStreamTransmuxer()
    outputs = [t.push(p) for p in pieces]
    outputs.append(t.flush())
    return t, outputs


def cut(data: bytes, step: int):
    return [data[i:i + step] for i in range(0, len(data), step)]


def _bframes() -> bytes:
    return (FIXTURES / "bframes_48k_stereo.ts").read_bytes()


# Every TS fixture (B-frames, variable frame rate, a NAL unit per PES,
# several pictures in a PES, 44.1 kHz, MPEG audio, AC-3, HEVC, MPEG-2 video,
# LATM, a gap in the audio, the 33-bit wrap, video alone, ...), a stream
# without IDR pictures after its first (periodic intra refresh), field
# pictures, pictures timed by their order counts, a PMT version that adds
# the audio, and lost packets.
SOURCES = {p.name: p.read_bytes for p in sorted(FIXTURES.glob("*.ts"))} | {
    "intra-refresh": made.intra_refresh_ts,
    "PAFF": lambda: pcm.mux(pcm.paff(30)),
    "POC type 1, PTS every 3rd PES": lambda: pcm.mux(pcm.reordered(31, timed_every=3)),
    "audio added by a new PMT": lambda: repack.audio_added(_bframes(), 0.5)[0],
    "damaged": lambda: repack.damaged(_bframes())[0],
}
# Pieces of a byte, of a packet, that split packets, of 7 packets, of 64 KB,
# and the whole stream.
STEPS = [1, 188, 500, 188 * 7, 1 << 16, 1 << 30]


@pytest.mark.parametrize("step", STEPS, ids=lambda s: "whole" if s == 1 << 30 else str(s))
@pytest.mark.parametrize("name", SOURCES)
def test_pieces_give_the_whole_conversion(name, step):
    source = SOURCES[name]()
    _, outputs = transmux(cut(source, step))
    assert b"".join(outputs) == morvex.convert_ts_to_fmp4(source)
    # Fragments come out while the stream arrives, without key pictures too.
    if name == "intra-refresh" and step <= 188 * 7:
        assert any(outputs[:len(outputs) // 2])


SEGMENT_LISTS = {
    "hls": HLS_A,
    # The second recording's timestamps are 1000 s later: the timeline goes on.
    "jump": HLS_A + HLS_B,
}


@pytest.mark.parametrize("paths", SEGMENT_LISTS.values(), ids=SEGMENT_LISTS.keys())
def test_segments_give_the_whole_conversion(paths):
    segments = [p.read_bytes() for p in paths]
    t, outputs = transmux(segments)
    assert b"".join(outputs) == morvex.convert_ts_to_fmp4(b"".join(segments))
    # The initialisation segment comes once, in front of the first output
    # that has one; a segment that ends inside a group of pictures holds
    # it back until the next key picture has arrived.
    init = t.init_segment
    first = next(i for i, o in enumerate(outputs) if o)
    assert outputs[first].startswith(init) and init.find(b"moof") < 0
    assert all(init not in o for o in outputs[first + 1:])


def decoded(data: bytes):
    """Per stream: the presentation times (s) of the decoded frames, and
    the video's key flags in decode order."""
    out = {}
    with av.open(io.BytesIO(data)) as c:
        out["keys"] = [p.is_keyframe for p in c.demux(c.streams.video[0]) if p.size]
    for kind in ("video", "audio"):
        with av.open(io.BytesIO(data)) as c:
            out[kind] = [float(f.pts * f.time_base) for f in c.decode(**{kind: 0})]
    return out


def moved_pmt(data: bytes, pid: int) -> bytes:
    """The stream with its PMT on another PID (and the PAT saying so)."""
    packets = []
    for p in tsedit.packets(tsedit.with_pat(data, [(1, pid)])):
        if tsedit.pid_of(p) == 0x1000:
            p = p[:1] + bytes([(p[1] & 0xE0) | pid >> 8, pid & 0xFF]) + p[3:]
        packets.append(p)
    return b"".join(packets)


PLAYED = {
    "hls": (HLS_A, lambda seg, n: seg),
    "jump": (HLS_A + HLS_B, lambda seg, n: seg),
    # The later segments come with a new PAT and PMT: the programme's tables
    # change and the pictures go on.
    "new-programme": (HLS_A + HLS_B, lambda seg, n: moved_pmt(seg, 0x1100) if n >= 2 else seg),
}


@pytest.mark.parametrize("paths,edit", PLAYED.values(), ids=PLAYED.keys())
def test_segments_play_like_the_source(paths, edit):
    segments = [edit(p.read_bytes(), n) for n, p in enumerate(paths)]
    _, outputs = transmux(segments)
    out = decoded(b"".join(outputs))
    sources = [decoded(s) for s in segments]
    video = [t for s in sources for t in s["video"]]
    audio_frames = sum(len(s["audio"]) for s in sources)
    assert len(out["video"]) == len(video)
    assert out["keys"] == [k for s in sources for k in s["keys"]]
    # One picture after another from the first (the source's frame step)
    # across segments; where the second recording joins, the next picture
    # may wait for the audio to end (as the TS road places it), but less
    # than a frame more.
    step = sources[0]["video"][1] - sources[0]["video"][0]
    steps = [b - a for a, b in zip(out["video"], out["video"][1:])]
    joint = len(sources[0]["video"]) + len(sources[1]["video"]) - 1
    for n, d in enumerate(steps):
        if n == joint and len(sources) > 2:
            assert step - 0.002 <= d < 2 * step
        else:
            assert d == pytest.approx(step, abs=0.002), n
    assert len(out["audio"]) == audio_frames
    # The timeline starts at 0 with the source's offset between the tracks.
    first = sources[0]
    offset = first["video"][0] - first["audio"][0]
    assert min(out["video"][0], out["audio"][0]) == 0
    assert out["video"][0] - out["audio"][0] == pytest.approx(offset, abs=0.001)


def test_init_segment_reset_and_flush():
    segments = [p.read_bytes() for p in HLS_A]
    t = morvex.TransportStreamTransmuxer()
    assert t.init_segment is None
    assert t.flush() == b""
    assert t.push(b"") == b""
    first = t.push(segments[0])
    # A group of pictures without the next key picture is not written yet.
    assert first == b"" and t.init_segment is None
    rest = t.push(segments[1]) + t.flush()
    assert rest.startswith(t.init_segment)
    with pytest.raises(AttributeError):
        t.init_segment = b""
    # After reset the object starts a new stream, as a new one would.
    t.reset()
    assert t.init_segment is None
    again = [t.push(s) for s in segments] + [t.flush()]
    assert b"".join(again) == first + rest


@pytest.mark.parametrize("value", ["G", None, memoryview(b"GGGG")[::2]], ids=["str", "None", "strided"])
def test_push_takes_contiguous_buffers_only(value):
    with pytest.raises(TypeError):
        morvex.TransportStreamTransmuxer().push(value)


def test_garbage_is_refused():
    with pytest.raises(ValueError, match="No valid TS sync byte found"):
        morvex.TransportStreamTransmuxer().push(b"\x00" * 1000)


def test_threads_share_an_instance_without_harm():
    source = (FIXTURES / "bframes_48k_stereo.ts").read_bytes()
    pieces = cut(source, 188 * 20)
    t = morvex.TransportStreamTransmuxer()
    refused = []
    outputs = []
    lock = threading.Lock()

    def worker():
        for p in pieces:
            try:
                out = t.push(p)
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                with lock:
                    refused.append(p)
                continue
            with lock:
                outputs.append(out)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    # Whatever got in or was refused, the object still works.
    t.reset()
    again = b"".join(t.push(p) for p in pieces) + t.flush()
    assert again == morvex.convert_ts_to_fmp4(source)


def test_subclassing_is_refused():
    with pytest.raises(TypeError):
        type("Sub", (morvex.TransportStreamTransmuxer,), {})


@pytest.mark.parametrize("split", [False, True], ids=["one-push", "pushed-apart"])
def test_a_pmt_that_changes_twice_after_one_pat(split):
    # PAT, then PMTs on the same PID naming other streams each time: each
    # change ends a programme, and the transmuxer moves on.
    from toolkit import h264, ts

    picture = h264.annexb(h264.sps(), h264.pps(), h264.slice_nal(idr=True))
    w = ts.TsWriter().pat({1: 0x1000})
    for k, pid in enumerate((0x100, 0x200, 0x300)):
        w.pmt(0x1000, [ts.Stream(ts.H264, pid)])
        for n in range(3):
            t = 90000 * (k + 1) + 3600 * n
            w.pes(pid, ts.VIDEO_STREAM_ID, picture, pts=t, dts=t)
    data = w.bytes()
    t = morvex.TransportStreamTransmuxer()
    cut = len(data) // 2 // 188 * 188 if split else len(data)
    out = t.push(data[:cut]) + t.push(data[cut:]) + t.flush()
    assert out.startswith(t.init_segment)
