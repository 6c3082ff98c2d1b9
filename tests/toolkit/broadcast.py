"""Transport streams as broadcast chains, IP cameras and HLS origins send
them, made at test time (FFmpeg, x264, x265, GStreamer, the re-packetiser
and the I_PCM streams of `pcm`), each with the source a decoder reads to
tell what a conversion must hold.

`CASES[name]()` gives a `Made`: the input, the source whose decoded
pictures and audio frames the output must show (the input itself unless
its PES hide timing from a decoder or its damage would), and which of them
(by PTS, 90 kHz); `keep` is None for all of them.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable

from . import made, pcm, repack, tsedit


@dataclass
class Made:
    input: bytes
    source: bytes | None = None  # None: the input
    keep: Callable[[str, int], bool] | None = None  # (kind, PTS) -> whether the output shows it
    codec: str = "h264"  # of the key frame
    key: bool = True  # the key frame road applies
    pids: tuple[int, ...] | None = None  # the source's streams to compare with (PIDs), when it has others
    extra: dict = field(default_factory=dict)


X264 = ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"]
AAC = ["-c:a", "aac", "-b:a", "64k"]


def h264_bframes(seconds: float = 2, size: str = "320x240") -> bytes:
    """x264 with two non-reference B-frames between references, AAC."""
    return made.ffmpeg(".ts", *made.test_pattern(seconds, size), *X264, "-bf", "2",
                       "-x264-params", "b-pyramid=none:keyint=25", *AAC)


def mpeg2_ffmpeg() -> Made:
    return Made(made.ffmpeg(".ts", *made.test_pattern(2, "320x240"), "-c:v", "mpeg2video", "-g", "12", "-bf", "2",
                            "-c:a", "mp2", "-b:a", "96k"), codec="mpeg2video")


def mpeg2_gstreamer() -> Made:
    video = ("videotestsrc num-buffers=50 ! video/x-raw,width=320,height=240,framerate=25/1 ! mpeg2enc format=3"
             " max-gop-size=12 min-gop-size=12 ! mpegvideoparse ! queue ! mux.")
    audio = ("audiotestsrc num-buffers=94 samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! voaacenc"
             " ! aacparse ! queue ! mux.")
    return Made(made.gst(".ts", f"{video} {audio} mpegtsmux name=mux"), codec="mpeg2video")


def paff() -> Made:
    audio = [(p.payload, p.pts) for p in repack.read(h264_bframes())[1] if 0xC0 <= p.stream_id <= 0xDF]
    return Made(pcm.mux(pcm.paff(50), audio), extra={"fields": True})


def poc0_sparse() -> Made:
    source = h264_bframes()
    return Made(repack.timed_every(source, 3), source)


def poc1_sparse() -> Made:
    return Made(pcm.mux(pcm.reordered(49, timed_every=3)), pcm.mux(pcm.reordered(49)))


def poc0_one_a_frame() -> Made:
    # An encoder that counts pictures one a frame, not two.
    return Made(pcm.mux(pcm.reordered(31, timed_every=3, lsb_step=1)), pcm.mux(pcm.reordered(31, lsb_step=1)))


def poc2_sparse() -> Made:
    # x264 without B-frames counts pictures with picture order count type 2.
    source = made.ffmpeg(".ts", *made.test_pattern(2, "320x240"), *X264, "-bf", "0", *AAC)
    return Made(repack.timed_every(source, 4), source)


def hevc_sparse() -> Made:
    source = made.ffmpeg(".ts", *made.test_pattern(2, "320x240"), "-c:v", "libx265", "-preset", "ultrafast",
                         "-x265-params", "keyint=25:bframes=3:log-level=error", *AAC)
    return Made(repack.timed_every(source, 3), source, codec="hevc")


def audio_added() -> Made:
    source = h264_bframes()
    data, first_audio = repack.audio_added(source, 0.5)
    return Made(data, source, lambda kind, pts: kind == "video" or pts >= first_audio)


def encoder_restart() -> Made:
    # A second encoder of another size and profile takes over on the same
    # clock, as behind an HLS discontinuity.
    first = made.ffmpeg(".ts", *made.test_pattern(2, "320x240"), *X264, "-bf", "2", *AAC)
    second = made.ffmpeg(".ts", *made.test_pattern(2, "640x360"), *X264, "-profile:v", "main", "-bf", "3",
                         "-g", "30", *AAC, "-output_ts_offset", "2.2")
    return Made(first + second)


def cut_at_recovery_point(source: bytes, at: float, hevc: bool = False) -> Made:
    data = tsedit.cut(source, at)
    start = tsedit.first_random_access(data, hevc)
    return Made(data, source, lambda kind, pts: pts >= start, codec="hevc" if hevc else "h264")


def intra_refresh() -> Made:
    # Periodic intra refresh, cut past its one IDR picture: recovery points only.
    made_ = cut_at_recovery_point(made.intra_refresh_ts(), 0.3)
    start = tsedit.first_random_access(made_.input)
    # A decoder shows the pictures from where it recovers, in the cut as in the output.
    return Made(made_.input, None, lambda kind, pts: kind == "video" or pts >= start, key=False,
                extra={"recovering": True})


def open_gop_cut() -> Made:
    source = made.ffmpeg(".ts", *made.test_pattern(4, "320x240"), *X264, "-bf", "2",
                         "-x264-params", "keyint=25:open-gop=1", *AAC)
    return cut_at_recovery_point(source, 0.3)


def hevc_open_gop_cut() -> Made:
    # A CRA picture every 24, three RASL pictures behind each.
    params = "keyint=24:min-keyint=24:scenecut=0:bframes=3:b-adapt=0:open-gop=1:log-level=error"
    source = made.ffmpeg(".ts", *made.test_pattern(4, "320x240"), "-c:v", "libx265", "-preset", "ultrafast",
                         "-x265-params", params, *AAC)
    return cut_at_recovery_point(source, 0.3, hevc=True)


def damaged() -> Made:
    source = h264_bframes(3)
    data, lost_video, lost_audio = repack.damaged(source)
    keep = lambda kind, pts: pts not in (lost_video if kind == "video" else lost_audio)  # noqa: E731
    return Made(data, source, keep, extra={"dropped": (len(lost_video), 1)})


def latm_ffmpeg() -> Made:
    return Made(made.ffmpeg(".ts", *made.test_pattern(2, "320x240"), *X264, "-bf", "2", *AAC,
                            "-mpegts_flags", "latm"))


def latm_rewrap() -> Made:
    source = h264_bframes()
    return Made(repack.latm(source), source)


def radio_first() -> Made:
    # Programme 1 is a radio station, programme 2 the TV channel.
    data = made.ffmpeg(".ts", "-f", "lavfi", "-i", "sine=frequency=220:sample_rate=48000:duration=2",
                       *made.test_pattern(2, "320x240"), "-map", "0:a", "-map", "1:v", "-map", "2:a",
                       *X264, "-bf", "2", *AAC, "-program", "program_num=1:title=radio:st=0",
                       "-program", "program_num=2:title=tv:st=1:st=2")
    return Made(data, pids=(0x101, 0x102))


def audio_only() -> Made:
    return Made(made.ffmpeg(".ts", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=2",
                            *AAC), key=False)


def two_languages() -> Made:
    data = made.ffmpeg(".ts", *made.test_pattern(2, "320x240"),
                       "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=48000:duration=2",
                       "-map", "0:v", "-map", "1:a", "-map", "2:a", *X264, "-bf", "2", *AAC,
                       "-metadata:s:a:0", "language=eng", "-metadata:s:a:1", "language=deu")
    return Made(data, extra={"languages": ["eng", "deu"]})


CASES: dict[str, Callable[[], Made]] = {
    "MPEG-2 video (FFmpeg, B-frames, MP2)": mpeg2_ffmpeg,
    "MPEG-2 video (GStreamer mpegtsmux, AAC)": mpeg2_gstreamer,
    "PAFF: two field pictures a PES": paff,
    "PTS every 3rd PES, B-frames (POC type 0)": poc0_sparse,
    "PTS every 3rd PES, reordered (POC type 1)": poc1_sparse,
    "PTS every 3rd PES, one count a frame (POC type 0)": poc0_one_a_frame,
    "PTS every 4th PES (POC type 2)": poc2_sparse,
    "PTS every 3rd PES, HEVC B-frames": hevc_sparse,
    "a PMT version adds the audio": audio_added,
    "encoder restart, new SPS and PPS": encoder_restart,
    "intra refresh cut past its IDR": intra_refresh,
    "open GOP cut mid-stream": open_gop_cut,
    "HEVC open GOP cut mid-stream (CRA, RASL)": hevc_open_gop_cut,
    "packets lost and marked in error": damaged,
    "LATM (FFmpeg)": latm_ffmpeg,
    "LATM rewrap of ADTS (audioMuxVersion 1)": latm_rewrap,
    "radio programme first": radio_first,
    "audio alone": audio_only,
    "two audio languages": two_languages,
}
