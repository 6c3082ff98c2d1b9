"""Small inputs that claim far more work than their size: each one was once
enough to take a process down (gigabytes allocated, or minutes of scanning).
The tests and bench/bench_bounds.py build them at any size from here."""

from __future__ import annotations

from . import h264, mp4, ts


def trun_flood(size: int) -> bytes:
    """An fMP4 of about `size` bytes: one traf whose tfhd gives a default
    sample size of 0, then as many truns as fit, each claiming nearly as many
    samples as the file has bytes. No trun says more than the file could
    hold on its own, and samples of no bytes always "fit" in the mdat."""
    init = mp4.init_segment((1, 90000, b"vide"))
    header = mp4.tfhd(1, duration=3000, size=0, flags=0) + mp4.tfdt(0)

    def moof(runs: int, data_offset: int) -> bytes:
        trun = mp4.full_box("trun", 0, mp4.TRUN_OFFSET, mp4.u32(size - 64), mp4.s32(data_offset))
        return mp4.box("moof", mp4.box("mfhd", mp4.u32(0), mp4.u32(1)), mp4.box("traf", header + trun * runs))

    runs = max(1, (size - len(init) - len(moof(0, 0)) - 64) // len(moof(1, 0)[len(moof(0, 0)):] or b"x"))
    fragment = moof(runs, 0)
    fragment = moof(runs, len(fragment) + 8)  # every run points at the mdat payload
    return init + fragment + mp4.box("mdat", b"\x00" * max(0, size - len(init) - len(fragment) - 8))


def endless_audio_pes(size: int) -> bytes:
    """A transport stream of about `size` bytes: PAT, PMT (H.264 and ADTS
    AAC), one IDR picture, then an audio PES that starts with one real ADTS
    frame and never ends: every later packet of its PID continues it with
    zeros, in which no ADTS sync word is found."""
    video, audio = 0x100, 0x101
    w = ts.TsWriter().pat({1: 0x1000}).pmt(0x1000, [ts.Stream(ts.H264, video), ts.Stream(ts.AAC_ADTS, audio)])
    picture = h264.annexb(h264.sps(), h264.pps(), h264.slice_nal(idr=True))
    w.pes(video, ts.VIDEO_STREAM_ID, picture, pts=90000, dts=90000)
    w.pes(audio, ts.AUDIO_STREAM_ID, ts.adts_frame(b"\x21" * 32), pts=90000, bounded=False)
    cc = w.cc[audio]
    zeros = b"\x00" * 184
    for i in range(max(0, size // ts.PACKET_SIZE - len(w.packets))):
        w.raw(ts.packet(audio, zeros, cc=(cc + i) & 0x0F))
    return w.bytes()


def _endless_pes(pid: int, stream_id: int, head: bytes, unit: bytes, size: int, *, audio: bytes = b"") -> bytes:
    """PAT, PMT (H.264 and ADTS AAC), then a PES on `pid` that starts with
    `head` and goes on with `unit` over and over until the stream is about
    `size` bytes; `audio` (one audio PES) comes first when given."""
    video_pid, audio_pid = 0x100, 0x101
    w = ts.TsWriter().pat({1: 0x1000}).pmt(0x1000, [ts.Stream(ts.H264, video_pid), ts.Stream(ts.AAC_ADTS, audio_pid)])
    if audio:
        w.pes(audio_pid, ts.AUDIO_STREAM_ID, audio, pts=90000)
    if pid == audio_pid:
        w.pes(video_pid, ts.VIDEO_STREAM_ID, h264.annexb(h264.sps(), h264.pps(), h264.slice_nal(idr=True)),
              pts=90000, dts=90000)
    body = head + unit * (size // len(unit) + 1)
    first = ts.pes(stream_id, b"", pts=90000, dts=90000 if pid == video_pid else None, bounded=False) + body
    packets = ts.packetise(pid, first[:184 * max(1, (size - len(w.bytes())) // ts.PACKET_SIZE)])
    return w.raw(*packets).bytes()


def idr_slices(size: int) -> bytes:
    """A TS of about `size` bytes whose one video PES holds an SPS, a PPS,
    then an IDR slice that begins a picture every 5 bytes: a picture, a
    sample and a key frame per 5 bytes of the input."""
    head = h264.annexb(h264.sps(), h264.pps())
    return _endless_pes(0x100, ts.VIDEO_STREAM_ID, head, b"\x00\x00\x01\x65\x88", size)


def non_idr_slices(size: int) -> bytes:
    """The same with non-IDR slices after one IDR picture: a picture per 5
    bytes and no key frame after the first."""
    head = h264.annexb(h264.sps(), h264.pps(), h264.slice_nal(idr=True))
    return _endless_pes(0x100, ts.VIDEO_STREAM_ID, head, b"\x00\x00\x01\x41\x9a", size)


def tiny_adts(size: int) -> bytes:
    """One IDR picture, then an audio PES of ADTS frames of 8 bytes (one
    byte of payload each): an audio sample per 8 bytes of the input."""
    return _endless_pes(0x101, ts.AUDIO_STREAM_ID, b"", ts.adts_frame(b"\x21"), size)
