"""Pictures as PyAV's H.264 and HEVC decoders see them, for comparing key frames."""

from __future__ import annotations

import io

import av
import numpy as np


def first_key_frame(data: bytes) -> av.VideoFrame:
    """The first key frame PyAV decodes from a whole file (TS or MP4)."""
    with av.open(io.BytesIO(data)) as c:
        for frame in c.decode(video=0):
            if frame.key_frame:
                return frame
    raise AssertionError("no key frame in the source")


def decode_annexb(data: bytes, codec_name: str = "h264") -> list[av.VideoFrame]:
    """Every frame the decoder yields for one Annex B access unit."""
    codec = av.CodecContext.create(codec_name, "r")
    return list(codec.decode(av.Packet(data))) + list(codec.decode(None))


def pixels(frame: av.VideoFrame) -> np.ndarray:
    return frame.to_ndarray(format="yuv420p")


def assert_same_picture(annexb: bytes, source: bytes, codec_name: str = "h264") -> None:
    """The Annex B bytes decode alone to one frame equal to the source's first key frame."""
    frames = decode_annexb(annexb, codec_name)
    expected = first_key_frame(source)
    assert len(frames) == 1
    assert (frames[0].width, frames[0].height) == (expected.width, expected.height)
    assert np.array_equal(pixels(frames[0]), pixels(expected))
