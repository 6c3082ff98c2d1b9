"""package_cmaf as players see it: FFmpeg's HLS and DASH demuxers read the
written tree (plain and byte-range layouts) and decode every picture of the
source, in order, and all its audio; a playlist parser reads the playlists,
whose durations match the segments' own; headless Chromium plays the video
and audio tracks through MSE."""

import io
import subprocess
import xml.etree.ElementTree as ET
from fractions import Fraction
from pathlib import Path

import av
import pytest

import morvex
from test_transmuxer_browser import needs_chromium, play
from toolkit import FIXTURES, made, require

# Fixtures made by FFmpeg (TS with B-frames, regular and fragmented MP4) and
# GStreamer (TS), and HEVC with AC-3 made at test time.
INPUTS = {
    "ffmpeg TS": lambda: (FIXTURES / "bframes_48k_stereo.ts").read_bytes(),
    "gstreamer TS": lambda: (FIXTURES / "gst_nal_pes.ts").read_bytes(),
    "regular MP4": lambda: (FIXTURES / "av_regular.mp4").read_bytes(),
    "fragmented MP4": lambda: (FIXTURES / "av_frag.mp4").read_bytes(),
    "HEVC + AC-3 TS": lambda: made.ffmpeg(".ts", *made.test_pattern(3), "-c:v", "libx265", "-preset", "ultrafast",
                                          "-x265-params", "keyint=19:min-keyint=19:scenecut=0:bframes=2:log-level=error", "-c:a", "ac3"),
}
LAYOUTS = {"plain": False, "byte_range": True}
# The fixtures have a key frame a second; the HEVC one every 0.76 s, whose
# first segment (to the key frame at 1.52 s) rounds up to a target duration
# of 2 s.
SEGMENT = 1.0
CASES = [pytest.param(make, byte_range, id=f"{name}-{layout}")
         for name, make in INPUTS.items() for layout, byte_range in LAYOUTS.items()]


def write_tree(tree: dict[str, bytes], folder: Path) -> None:
    for name, data in tree.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)


def decoded(path: Path, *options: str) -> tuple[list[str], int]:
    """The checksum of every picture in presentation order, and the number
    of audio samples, as FFmpeg decodes the first video and audio streams
    (its own command line: PyAV's FFmpeg has no DASH demuxer)."""
    rows = {}
    for kind in "va":
        # One stream a run: the output side then drops no frame to interleave the other.
        run = subprocess.run([made.tool("ffmpeg"), "-nostdin", "-v", "error", *options, "-i", str(path),
                              "-map", f"0:{kind}:0", "-fps_mode", "passthrough", "-f", "framemd5", "-"],
                             capture_output=True, text=True, check=True)
        assert not run.stderr, run.stderr
        rows[kind] = [[f.strip() for f in line.split(",")] for line in run.stdout.splitlines() if line[0] != "#"]
    # Audio rows count their samples in the time base 1 / sample rate.
    return [r[5] for r in rows["v"]], sum(int(r[3]) for r in rows["a"])


@pytest.mark.parametrize("make, byte_range", CASES)
def test_hls_and_dash_demuxers_see_every_frame(make, byte_range, tmp_path):
    source = tmp_path / "source"
    source.write_bytes(make())
    write_tree(morvex.package_cmaf(source.read_bytes(), SEGMENT, byte_range=byte_range), tmp_path)
    # Every audio frame, the priming an MP4's edit list hides included: the
    # packaged track shows it before 0 with negative composition offsets,
    # which FFmpeg's MP4 demuxer moves up to 0.
    pictures, samples = decoded(source, *(["-ignore_editlist", "1"] if source.read_bytes()[4:8] == b"ftyp" else []))
    assert pictures and samples
    for top in ("master.m3u8", "manifest.mpd"):
        assert decoded(tmp_path / top) == (pictures, samples), top


def segments_of(folder: Path, playlist) -> list[tuple[float, bytes]]:
    """Each segment's EXTINF and bytes, the init segment in front."""
    init = playlist.segment_map[0]
    out = []
    for s in playlist.segments:
        data = (folder / s.uri).read_bytes()
        if s.byterange:
            size, at = map(int, s.byterange.split("@"))
            data = data[at:at + size]
        size, at = map(int, init.byterange.split("@")) if init.byterange else (None, 0)
        header = (folder / init.uri).read_bytes()[at:at + size if size else None]
        out.append((s.duration, header + data))
    return out


def track_duration(segment: bytes) -> tuple[int, Fraction, bool]:
    """Duration of a segment's samples (their trun durations) in the track's
    timescale and in seconds, and whether the first is a sync sample."""
    with av.open(io.BytesIO(segment)) as c:
        stream = c.streams[0]  # time base: 1 / the track's timescale
        packets = [p for p in c.demux(stream) if p.size]
        ticks = sum(p.duration for p in packets)
        return ticks, ticks * stream.time_base, packets[0].is_keyframe


@pytest.mark.parametrize("make, byte_range", CASES)
def test_playlists_and_manifest_match_the_segments(make, byte_range, tmp_path):
    m3u8 = require("m3u8")
    write_tree(morvex.package_cmaf(make(), SEGMENT, byte_range=byte_range), tmp_path)
    master = m3u8.load(str(tmp_path / "master.m3u8"))
    assert master.version == 7 and master.is_independent_segments
    [variant] = master.playlists
    info = variant.stream_info
    assert all([info.bandwidth, info.average_bandwidth, info.codecs, info.resolution, info.frame_rate, info.audio])
    assert info.average_bandwidth <= info.bandwidth and len(info.codecs.split(",")) == 2
    [audio] = [m for m in master.media if m.type == "AUDIO" and m.group_id == info.audio]

    durations = {}
    for kind, uri in (("video", variant.uri), ("audio", audio.uri)):
        folder = (tmp_path / uri).parent
        playlist = m3u8.load(str(tmp_path / uri))
        assert playlist.playlist_type == "vod" and playlist.is_endlist and playlist.segment_map
        assert len(playlist.segments) > 1, "segments shorter than the source"
        ticks = 0
        for extinf, segment in segments_of(folder, playlist):
            n, seconds, sync = track_duration(segment)
            assert extinf == pytest.approx(float(seconds), abs=0.0005)
            # RFC 8216 4.3.3.1: EXTINF rounded to the nearest integer.
            assert playlist.target_duration >= int(extinf + 0.5)
            assert sync or kind == "audio"
            ticks += n
        durations[kind] = ticks

    ns = {"d": "urn:mpeg:dash:schema:mpd:2011"}
    mpd = ET.parse(tmp_path / "manifest.mpd").getroot()
    assert mpd.get("type") == "static" and mpd.get("mediaPresentationDuration") and mpd.get("minBufferTime")
    profiles = mpd.get("profiles").split(",")
    assert "urn:mpeg:dash:profile:cmaf:2019" in profiles
    assert (("urn:mpeg:dash:profile:isoff-on-demand:2011" if byte_range else "urn:mpeg:dash:profile:isoff-live:2011")
            in profiles)
    for kind in ("video", "audio"):
        [r] = mpd.findall(f".//d:AdaptationSet[@contentType='{kind}']/d:Representation", ns)
        assert r.get("codecs") and int(r.get("bandwidth")) > 0
        assert all(r.get(a) for a in (("width", "height", "frameRate") if kind == "video" else
                                      ("audioSamplingRate",)))
        if kind == "audio":
            assert r.find("d:AudioChannelConfiguration", ns) is not None
        if byte_range:
            # SegmentBase: the init, then a sidx (ISO/IEC 14496-12 8.16.3) at indexRange.
            base = r.find("d:SegmentBase", ns)
            media = (tmp_path / r.find("d:BaseURL", ns).text).read_bytes()
            first, last = map(int, base.get("indexRange").split("-"))
            assert media[first + 4:first + 8] == b"sidx" and int.from_bytes(media[first:first + 4], "big") == \
                last - first + 1
            assert base.find("d:Initialization", ns).get("range") == f"0-{first - 1}"
        else:
            timeline = r.findall("d:SegmentTemplate/d:SegmentTimeline/d:S", ns)
            assert sum(int(s.get("d")) * (1 + int(s.get("r", 0))) for s in timeline) == durations[kind]


@pytest.mark.parametrize("data, duration", [(b"\x00garbage" * 100, 6.0), (None, 0.0), (None, -1.0),
                                            (None, float("nan"))], ids=["garbage", "zero", "negative", "nan"])
def test_unreadable_input_or_duration_is_a_value_error(data, duration):
    with pytest.raises(ValueError):
        morvex.package_cmaf(data or (FIXTURES / "av_regular.mp4").read_bytes(), duration)


@pytest.mark.parametrize("byte_range", [False, True], ids=["plain", "byte_range"])
def test_chromium_plays_the_tracks_through_mse(byte_range, tmp_path):
    needs_chromium()
    m3u8 = require("m3u8")
    data = (FIXTURES / "bframes_48k_stereo.ts").read_bytes()
    write_tree(morvex.package_cmaf(data, SEGMENT, byte_range=byte_range), tmp_path)
    master = m3u8.load(str(tmp_path / "master.m3u8"))
    video_codec, audio_codec = master.playlists[0].stream_info.codecs.split(",")
    buffers = []
    for kind, codec in (("video", video_codec), ("audio", audio_codec)):
        playlist = m3u8.load(str(tmp_path / kind / "index.m3u8"))
        # One SourceBuffer a track: its init segment, then its segments (the
        # byte-range layout's one file holds them all, in that order).
        files = list(dict.fromkeys([playlist.segment_map[0].uri] + [s.uri for s in playlist.segments]))
        buffers.append({"type": f'{kind}/mp4; codecs="{codec}"', "files": [f"{kind}/{f}" for f in files]})
    with av.open(io.BytesIO(data)) as c:
        # The source's first picture comes this long after its first audio.
        late = float(c.streams.video[0].start_time * c.streams.video[0].time_base - c.start_time / av.time_base)
        duration = float(c.duration / av.time_base)
        pictures = sum(1 for _ in c.decode(video=0))
    result = play(tmp_path, buffers)
    assert "error" not in result, result
    # One range, which both tracks cover: from the first picture, where the
    # source puts it, to the end.
    [(start, end)] = result["ranges"]
    assert start == pytest.approx(late, abs=0.001)
    assert end >= duration - 0.05, (result, duration)
    assert result["ended"] is True
    assert result["frames"] == pictures, result
