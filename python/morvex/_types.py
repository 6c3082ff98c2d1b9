"""The shapes of what ``morvex.probe`` returns."""

from __future__ import annotations

from typing import Literal, NotRequired, TypedDict


class ProbeTrack(TypedDict):
    """One video or audio track of a probed input."""

    id: int  # track_ID, or the PID of a transport stream
    kind: Literal["video", "audio"]
    codec: str  # FFmpeg's name: "h264", "hevc", "aac", "mp3", "ac3", ...
    codec_string: str  # RFC 6381: "avc1.64001f", "mp4a.40.2", ...
    start_time: float  # seconds: the first sample shown
    duration: float
    frames: int
    key_frames: int
    bitrate: float  # bits a second
    width: NotRequired[int]
    height: NotRequired[int]
    frame_rate: NotRequired[float]
    sample_rate: NotRequired[int]
    channels: NotRequired[int]
    language: NotRequired[str]  # ISO 639-2


class Probe(TypedDict):
    """What ``morvex.probe`` tells of an input."""

    format: Literal["mpegts", "mp4", "fmp4"]
    duration: float
    tracks: list[ProbeTrack]
