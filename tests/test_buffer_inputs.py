"""Every entry point takes any C-contiguous buffer, read in place: the
result is what bytes give, the export is held for the call and released
after it, and bytes rewritten by another thread during the call give some
result or a ValueError, never a crash."""

import mmap
import random
import threading

import numpy
import pytest

import morvex
from toolkit import FIXTURES


def read(name):
    return (FIXTURES / name).read_bytes()


def transmux(segment):
    t = morvex.TransportStreamTransmuxer()
    return t.push(segment[:5000]) + t.push(segment[5000:]) + t.flush()


def rebase(init, segment):
    p = morvex.FragmentedMP4Processor()
    p.set_init_segment(init)
    return p.process_segment(segment), p.base_decode_time


# entry point, its inputs, the call with those inputs in some buffer kind
ENTRY_POINTS = [
    ("convert_ts_to_mp4", ["bframes_48k_stereo.ts"], lambda d: morvex.convert_ts_to_mp4(d, report=None)),
    ("convert_ts_to_fmp4", ["bframes_48k_stereo.ts"], lambda d: morvex.convert_ts_to_fmp4(d, report=None)),
    ("extract_thumbnail_from_ts", ["hevc.ts"], morvex.extract_thumbnail_from_ts),
    ("defragment_mp4", ["av_frag.mp4"], morvex.defragment_mp4),
    ("reset_mp4_timestamps", ["av_frag.mp4"], morvex.reset_mp4_timestamps),
    ("convert_mp4_reset_timestamps", ["av_regular.mp4"], morvex.convert_mp4_reset_timestamps),
    ("mux_fmp4_tracks", ["video_frag.mp4", "audio_frag.mp4"], morvex.mux_fmp4_tracks),
    ("extract_thumbnail_from_mp4", ["av_regular.mp4"], morvex.extract_thumbnail_from_mp4),
    ("FragmentedMP4Processor", ["hls/init.mp4", "hls/seg1.m4s"], rebase),
    ("TransportStreamTransmuxer", ["bframes_48k_stereo.ts"], transmux),
]


class Mapped:
    """A read-only mmap of a file holding the bytes."""

    def __init__(self, folder):
        self.folder = folder
        self.maps = []

    def __call__(self, data):
        path = self.folder / f"{len(self.maps)}.bin"
        path.write_bytes(data)
        with open(path, "rb") as f:
            self.maps.append(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))
        return self.maps[-1]


KINDS = {
    "bytearray": bytearray,
    "memoryview": memoryview,
    "slice": lambda d: memoryview(b"\xff" * 7 + d + b"\x47" * 5)[7:-5],
    "mmap": None,  # per test, in its folder
    "numpy": lambda d: numpy.frombuffer(d, dtype=numpy.uint8).copy(),
    "numpy-2d": lambda d: numpy.frombuffer(d, dtype=numpy.uint8).reshape(-1, 1),
}


@pytest.mark.parametrize("name,inputs,call", ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_every_buffer_gives_what_bytes_give(tmp_path, name, inputs, call):
    data = [read(i) for i in inputs]
    expected = call(*data)
    mapped = Mapped(tmp_path)
    for kind, make in KINDS.items():
        buffers = [(make or mapped)(d) for d in data]
        assert call(*buffers) == expected, kind
        # The exports are released after the call: a bytearray can grow
        # again, a map can be closed.
        for b in buffers:
            if isinstance(b, bytearray):
                b.append(0)
            elif isinstance(b, mmap.mmap):
                b.close()
    # A buffer whose bytes are not contiguous is refused, whatever exports it.
    for strided in (memoryview(data[0] * 2)[::2], numpy.frombuffer(data[0] * 2, dtype=numpy.uint8)[::2]):
        with pytest.raises(TypeError, match="C-contiguous"):
            call(strided, *data[1:])


def test_the_buffer_is_held_for_the_whole_call():
    data = bytearray(read("bframes_48k_stereo.ts"))

    def report(text):  # runs inside the call, once the work is done
        with pytest.raises(BufferError):
            data.append(0)

    morvex.convert_ts_to_mp4(data, report=report)
    data.append(0)


@pytest.mark.parametrize("name,inputs,call", ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_bytes_rewritten_during_the_call_never_crash(name, inputs, call):
    originals = [read(i) for i in inputs]
    buffers = [bytearray(o) for o in originals]
    stop = threading.Event()

    def scribble():
        # The input as it was, with a few bytes changed, over and over: the
        # call reads a file that is mostly valid while it changes.
        rng = random.Random(len(buffers[0]))
        while not stop.is_set():
            for b, o in zip(buffers, originals):
                b[:] = o
                for _ in range(8):
                    b[rng.randrange(len(b))] = rng.randrange(256)

    thread = threading.Thread(target=scribble)
    thread.start()
    try:
        for _ in range(8):
            try:
                call(*buffers)
            except ValueError:
                pass  # the rewritten bytes do not make a valid input
    finally:
        stop.set()
        thread.join()
