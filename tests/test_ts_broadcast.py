"""Transport streams as broadcast chains, IP cameras and HLS origins send
them (toolkit/broadcast.py: MPEG-2 video, PAFF field pictures, pictures
without PTS, a PMT version that adds the audio, an encoder restart, no IDR
picture, open GOPs cut mid-stream, damaged packets, LATM, a radio
programme first, audio alone, two languages), through every TS road.

PyAV decodes each road's output and its source: every picture (by
checksum) and every audio frame must be there, at its time within 1 ms of
the source's. The MP4 keeps the offset between the tracks (times count from
the first picture); FFmpeg's reader moves a fragmented track whose
composition offsets go negative to the first non-negative one, so the
fragmented output's tracks are each compared from their own start. The
transmuxer, pushed small pieces and segment-sized ones, gives the
fragmented road's bytes; Chromium plays them (H.264 and AAC)."""

import contextlib
import hashlib
import io
import os

import av
import pytest

import morvex
from test_transmuxer_browser import CHROMIUM, live_files, play
from toolkit import broadcast
from toolkit.broadcast import CASES, Made


def decoded(data: bytes, pids=None) -> dict:
    """Per stream (video first, then audio, in stream order): the
    presentation times (90 kHz ticks of the source's clock, or seconds of the
    output's) and checksums of the decoded frames, in presentation order."""
    out = {}
    with av.open(io.BytesIO(data)) as c:
        streams = [s for s in c.streams if s.type in ("video", "audio") and (pids is None or s.id in pids)]
        streams.sort(key=lambda s: s.type != "video")
        for n, s in enumerate(streams):
            out[(s.type, n)] = (s.index, s.time_base)
    frames = {}
    for key, (index, base) in out.items():
        with av.open(io.BytesIO(data)) as c:
            got = []
            for f in c.decode(c.streams[index]):
                if f.pts is None:
                    continue
                planes = f.to_ndarray(format="yuv420p").tobytes() if key[0] == "video" else b""
                got.append((f.pts * base, hashlib.md5(planes).hexdigest()))
            frames[key] = sorted(got)
    return frames


def expected(m: Made) -> dict:
    source = decoded(m.source or m.input, m.pids)
    if m.keep is None:
        return source
    return {key: [(t, h) for t, h in frames if m.keep(key[0], round(t * 90000))] for key, frames in source.items()}


def misplaced(want: dict, got: dict, *, per_track: bool) -> list[str]:
    if list(want) != list(got):
        return [f"streams {list(got)} instead of {list(want)}"]
    lead = next(iter(want))
    problems = []
    for key in want:
        w, g = want[key], got[key]
        w0, g0 = (w[0][0], g[0][0]) if per_track else (want[lead][0][0], got[lead][0][0])
        if len(w) != len(g):
            problems.append(f"{key}: {len(g)} frames instead of {len(w)}")
        for n, ((wt, wh), (gt, gh)) in enumerate(zip(w, g)):
            if abs(float((gt - g0) - (wt - w0))) > 0.001:
                problems.append(f"{key} frame {n}: at {float(gt - g0):.4f} s instead of {float(wt - w0):.4f} s")
            if key[0] == "video" and wh != gh:
                problems.append(f"{key} frame {n}: another picture")
    return problems


def run(road, data: bytes):
    report = io.StringIO()
    with contextlib.redirect_stdout(report):
        out = road(data)
    return out, report.getvalue().splitlines()


def transmux(data: bytes, step: int) -> list[bytes]:
    t = morvex.TransportStreamTransmuxer()
    return [t.push(data[i:i + step]) for i in range(0, len(data), step)] + [t.flush()]


@pytest.fixture(scope="module", params=list(CASES), ids=list(CASES))
def case(request):
    m = CASES[request.param]()
    return m, expected(m)


def test_mp4_shows_the_source(case):
    m, want = case
    out, report = run(morvex.convert_ts_to_mp4, m.input)
    problems = misplaced(want, decoded(out), per_track=False)
    assert not problems, "\n".join(problems[:10])
    with av.open(io.BytesIO(out)) as c:
        video = [p for p in c.demux(video=0) if p.size] if c.streams.video else []
        audio = c.streams.audio
        # One sample a picture the decoder shows (two fields make one;
        # nothing a start in the middle of a GOP leaves undecodable), except
        # where a decoder hides pictures until it has recovered.
        if video and not m.extra.get("recovering"):
            assert len(video) == len(want[("video", 0)])
        if m.extra.get("fields"):
            assert {p.duration for p in video} == {3600}
        if "languages" in m.extra:
            assert [s.metadata.get("language") for s in audio] == m.extra["languages"]
            assert [bool(s.disposition & av.stream.Disposition.default) for s in audio] == [True, False]
    if "dropped" in m.extra:
        assert "Damaged frames dropped - Video: %d, Audio: %d" % m.extra["dropped"] in report


def test_fragments_show_the_source_and_the_transmuxer_writes_them(case):
    m, want = case
    out, report = run(morvex.convert_ts_to_fmp4, m.input)
    # One audio track, the first (CMAF, MSE); the others are reported.
    audio = [key for key in want if key[0] == "audio"]
    want = {key: frames for key, frames in want.items() if key[0] == "video" or key == audio[0]}
    assert len([line for line in report if line.startswith("Skipped PID")]) == len(audio[1:])
    problems = misplaced(want, decoded(out), per_track=True)
    assert not problems, "\n".join(problems[:10])
    for step in (188 * 7, 256 * 1024):
        assert b"".join(transmux(m.input, step)) == out


def test_key_frame_is_the_first_picture(case):
    m, want = case
    if not m.key:
        with pytest.raises(ValueError) if ("video", 0) not in want else contextlib.nullcontext():
            morvex.extract_thumbnail_from_ts(m.input)
        return
    key = morvex.extract_thumbnail_from_ts(m.input)
    codec = av.CodecContext.create(m.codec, "r")
    frames = list(codec.decode(av.Packet(key))) + list(codec.decode(None))
    assert len(frames) == 1
    assert hashlib.md5(frames[0].to_ndarray(format="yuv420p").tobytes()).hexdigest() == want[("video", 0)][0][1]


# The H.264 and AAC cases that start at an IDR picture: Chromium's MP4
# reader takes only IDR pictures for key frames, whatever the sample flags
# say, so a stream that starts at a recovery point cannot begin in MSE.
BROWSER = [name for name, make in CASES.items() if make in (broadcast.paff, broadcast.poc0_sparse, broadcast.poc2_sparse,
                                                               broadcast.audio_added, broadcast.encoder_restart,
                                                               broadcast.damaged, broadcast.latm_ffmpeg,
                                                               broadcast.latm_rewrap, broadcast.radio_first,
                                                               broadcast.two_languages)]


@pytest.mark.parametrize("name", BROWSER)
def test_chromium_plays_the_transmuxed_stream(name, tmp_path):
    if CHROMIUM is None:
        if os.environ.get("MORVEX_REQUIRE_BROWSER") == "1":
            pytest.fail("chromium is not installed (MORVEX_REQUIRE_BROWSER=1)")
        pytest.skip("chromium is not installed")
    m = CASES[name]()
    want = expected(m)
    t = morvex.TransportStreamTransmuxer()
    step = 64 * 1024
    parts = [t.push(m.input[i:i + step]) for i in range(0, len(m.input), step)] + [t.flush()]
    init = t.init_segment
    files = live_files(tmp_path, init, parts)
    at = init.index(b"avcC") + 4
    audio = ", mp4a.40.2" if b"mp4a" in init else ""
    result = play(tmp_path, files, f'video/mp4; codecs="avc1.{init[at + 1:at + 4].hex()}{audio}"')
    assert "error" not in result, result
    assert len(result["ranges"]) == 1, result
    assert result["ended"] is True
    assert result["frames"] == len(want[("video", 0)]), result
