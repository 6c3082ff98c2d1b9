"""Small inputs that claim far more work than their size: each one was once
enough to take a process down (gigabytes allocated, or minutes of scanning).
The tests and bench/bench_bounds.py build them at any size from here."""

from __future__ import annotations

import random
import struct

from . import FIXTURES, h264, mp4, ts


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


def _stbl(count: int, sample_size: int, offset: int, duration: int) -> bytes:
    """Sample tables of `count` samples of one constant size in one chunk at
    `offset`, each `duration` long: every table a few bytes."""
    return mp4.box("stbl", mp4.stsd(), mp4.full_box("stts", 0, 0, mp4.u32(1), mp4.u32(count), mp4.u32(duration)),
                   mp4.full_box("stsc", 0, 0, mp4.u32(1), mp4.u32(1), mp4.u32(count), mp4.u32(1)),
                   mp4.full_box("stsz", 0, 0, mp4.u32(sample_size), mp4.u32(count)),
                   mp4.full_box("stco", 0, 0, mp4.u32(1), mp4.u32(offset)))


# One sample of a track 1 in a fragment of its own: with it an MP4 is
# fragmented, so that every MP4 road reads its moov's tables.
_FRAGMENT = mp4.moof_mdat(1, [mp4.Traf(1, [mp4.Run(*mp4.sized([1], duration=1))])])


def constant_size_traks(size: int) -> bytes:
    """An MP4 of about `size` bytes whose moov holds as many traks as fit,
    each with a constant sample size of 1 and as many samples as the file has
    bytes, all on the same bytes at the file's start. Each trak is sound on
    its own; together they claim the file's size squared."""
    one = mp4.trak(1, 1000, stbl=_stbl(size, 1, 0, 1))
    count = max(1, (size - 300 - len(_FRAGMENT)) // len(one))
    traks = [mp4.trak(k + 1, 1000, stbl=_stbl(size, 1, 0, 1)) for k in range(count)]
    head = mp4.ftyp() + mp4.moov(mp4.mvhd(), *traks, mp4.box("mvex", mp4.trex(1)))
    return head + _FRAGMENT + mp4.box("mdat", b"\x00" * max(0, size - len(head) - len(_FRAGMENT) - 8))


def constant_size_samples(size: int, sample_size: int = 4) -> bytes:
    """An MP4 of about `size` bytes: one video track whose stsz gives one
    size, `sample_size`, to as many samples as its mdat holds, each a second
    long (so each is a chunk of its own). Of 4 bytes, the samples are as
    many as the file may describe; of 1 byte, four times more."""
    def build(count: int, offset: int) -> bytes:
        trak = mp4.trak(1, 1, stbl=_stbl(count, sample_size, offset, 1))
        return mp4.ftyp() + mp4.moov(mp4.mvhd(), trak, mp4.box("mvex", mp4.trex(1)))

    head = build(0, 0)
    count = max(1, (size - len(head) - len(_FRAGMENT) - 8) // sample_size)
    head = build(count, len(head) + 8)
    return head + mp4.box("mdat", b"\x00" * (count * sample_size)) + _FRAGMENT


def traks_and_trafs(size: int) -> bytes:
    """An fMP4 of about `size` bytes: half of it traks (each track its own ID,
    its own trex) and half one moof of a traf per track, each one sample: a
    reader that looks a track up among all the others for each traf takes
    the square of the file's size."""
    count = max(1, size // 2 // len(mp4.trak(1, 1000)))
    traks = [mp4.trak(k + 1, 1000) for k in range(count)]
    mvex = mp4.box("mvex", *(mp4.trex(k + 1, duration=1, size=1) for k in range(count)))
    head = mp4.ftyp() + mp4.moov(mp4.mvhd(), *traks, mvex)
    trafs = [mp4.Traf(k + 1, [mp4.Run(*mp4.sized([1], k))]) for k in range(count)]
    return head + mp4.moof_mdat(1, trafs)


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


# --- recordings without moov (recover_mp4) ----------------------------------------------

_MEDIA_DATA = mp4.ftyp() + struct.pack(">I", 0) + b"mdat"  # an mdat to the end of the file


def _length_prefixed(*units: bytes) -> bytes:
    return b"".join(struct.pack(">I", len(u)) + u for u in units)


def dense_pictures(size: int) -> bytes:
    """A recording of about `size` bytes without moov whose mdat holds an SPS,
    a PPS and an IDR picture, then a picture every 8 bytes (a non-IDR slice
    header of 3 bytes behind its length): a sample per 8 bytes, found without
    a reference."""
    idr = h264.nal(h264.IDR, h264.BitWriter().ue(0).ue(7).ue(0).u(4, 0).ue(0).u(6, 0).trailing().bytes())
    picture = h264.nal(h264.SLICE, h264.BitWriter().ue(0).ue(5).ue(0).u(4, 1).u(6, 2).trailing().bytes(), ref_idc=2)
    head = _MEDIA_DATA + _length_prefixed(h264.sps(), h264.pps(), idr)
    return head + _length_prefixed(picture) * max(0, (size - len(head)) // 8)


def noise_mdat(size: int) -> bytes:
    """A recording of about `size` bytes without moov whose mdat is noise:
    every byte is stepped over, each tried as a picture and an AAC frame."""
    return _MEDIA_DATA + random.Random(size).randbytes(max(0, size - len(_MEDIA_DATA)))


def a_reference() -> bytes:
    """A healthy recording (H.264 and AAC) to recover others with."""
    return (FIXTURES / "av_regular.mp4").read_bytes()
