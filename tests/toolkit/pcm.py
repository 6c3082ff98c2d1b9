"""H.264 streams that FFmpeg decodes, made of I_PCM macroblocks (H.264
7.3.5: the samples as they are), for the shapes no encoder at hand writes:

- `paff`: interlaced frames sent as two field pictures (field_pic_flag),
  both fields of a frame in one PES with the frame's timestamps, as
  broadcast encoders send them;
- `reordered`: frames sent out of presentation order (an I/P picture ahead
  of the two non-reference pictures it follows), counted with picture order
  count type 1 (8.2.1.2), every third PES with timestamps.

Each frame is a different picture, so decoded frames tell which source
frame they are. 64x64 pixels, 4:2:0.
"""

from __future__ import annotations

from . import h264, ts

WIDTH_MBS = 4
HEIGHT = 64
CLOCK = 90000
FRAME = 3600  # 25 frames a second


class Bits:
    """A bit writer that takes whole bytes quickly once aligned."""

    def __init__(self) -> None:
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def u(self, n: int, v: int) -> Bits:
        for i in range(n - 1, -1, -1):
            self.acc = self.acc << 1 | (v >> i & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                self.acc = self.n = 0
        return self

    def ue(self, v: int) -> Bits:
        code = v + 1
        return self.u(code.bit_length() - 1, 0).u(code.bit_length(), code)

    def se(self, v: int) -> Bits:
        return self.ue(2 * v - 1 if v > 0 else -2 * v)

    def align(self) -> Bits:
        while self.n:
            self.u(1, 0)
        return self

    def raw(self, data: bytes) -> Bits:
        assert self.n == 0
        self.out += data
        return self

    def trailing(self) -> bytes:
        self.u(1, 1).align()
        return bytes(self.out)


def frame_planes(k: int) -> tuple[list[bytes], list[bytes], list[bytes]]:
    """Rows of the Y, Cb and Cr planes of frame `k` (values 16..235)."""
    w = WIDTH_MBS * 16
    y = [bytes(16 + (x * 3 + r * 5 + 11 * k) % 220 for x in range(w)) for r in range(HEIGHT)]
    cb = [bytes(16 + (x * 7 + r + 13 * k) % 220 for x in range(w // 2)) for r in range(HEIGHT // 2)]
    cr = [bytes(16 + (x + r * 9 + 17 * k) % 220 for x in range(w // 2)) for r in range(HEIGHT // 2)]
    return y, cb, cr


def macroblocks(y: list[bytes], cb: list[bytes], cr: list[bytes]) -> list[bytes]:
    """The PCM samples of each macroblock of a picture, in raster order."""
    out = []
    for my in range(len(y) // 16):
        for mx in range(len(y[0]) // 16):
            luma = b"".join(row[mx * 16:mx * 16 + 16] for row in y[my * 16:my * 16 + 16])
            chroma = b"".join(row[mx * 8:mx * 8 + 8] for plane in (cb, cr) for row in plane[my * 8:my * 8 + 8])
            out.append(luma + chroma)
    return out


def pcm_slice(mbs: list[bytes], *, idr: bool, ref: bool, frame_num: int, field: str | None = None,
              poc_lsb: int | None = None, delta_poc: int | None = None) -> bytes:
    """An I slice of I_PCM macroblocks (mb_type 25) for the streams' SPS
    (frame_num 4 bits, POC LSB 6 bits) and the toolkit's PPS (CAVLC,
    deblocking control present)."""
    w = Bits().ue(0).ue(7).ue(0).u(4, frame_num)
    if field is not None:
        w.u(1, 1).u(1, field == "bottom")
    if idr:
        w.ue(0)  # idr_pic_id
    if poc_lsb is not None:
        w.u(6, poc_lsb)
    if delta_poc is not None:
        w.se(delta_poc)
    if ref:  # dec_ref_pic_marking(): no_output_of_prior_pics, long_term_reference / adaptive marking
        w.u(2 if idr else 1, 0)
    w.se(0).ue(1)  # slice_qp_delta; deblocking off
    for mb in mbs:
        w.ue(25).align().raw(mb)
    return h264.nal(h264.IDR if idr else h264.SLICE, w.trailing(), ref_idc=3 if ref else 0)


def paff(frames: int, *, first_pts: int = 126000) -> list[tuple[bytes, int]]:
    """`frames` interlaced frames as PES payloads (the two fields of a
    frame, top first, each behind a delimiter) with the frame's PTS; an IDR
    frame every 25."""
    sps = h264.sps(profile_idc=77, width_mbs=WIDTH_MBS, height_map_units=HEIGHT // 32, frame_mbs_only=False,
                   max_num_ref_frames=2, timing=(1, 50))
    pps = h264.pps()
    out = []
    frame_num = 0
    for k in range(frames):
        y, cb, cr = frame_planes(k)
        idr = k % 25 == 0
        frame_num = 0 if idr else (frame_num + 1) % 16
        nals = [h264.aud(), sps, pps] if idr else [h264.aud()]
        for parity, field in enumerate(("top", "bottom")):
            mbs = macroblocks(y[parity::2], cb[parity::2], cr[parity::2])
            if parity:
                nals.append(h264.aud())
            poc = (2 * (k % 25) + parity) % 64
            nals.append(pcm_slice(mbs, idr=idr and parity == 0, ref=True, frame_num=frame_num, field=field,
                                  poc_lsb=poc))
        out.append((h264.annexb(*nals), first_pts + k * FRAME))
    return out


def _expected_poc_type1(frame_num_offset: int, frame_num: int, ref: bool, cycle: tuple[int, ...]) -> int:
    """expectedPicOrderCnt of 8.2.1.2, offset_for_non_ref_pic 0."""
    abs_frame_num = frame_num_offset + frame_num
    if not ref and abs_frame_num > 0:
        abs_frame_num -= 1
    if abs_frame_num == 0:
        return 0
    count, within = divmod(abs_frame_num - 1, len(cycle))
    return count * sum(cycle) + sum(cycle[:within + 1])


def reordered(frames: int, *, first_pts: int = 126000, timed_every: int = 1,
              lsb_step: int | None = None) -> list[tuple[bytes, int | None, int | None]]:
    """`frames` progressive frames (a multiple of 3 plus 1) in decode order
    I0 P3 B1 B2 P6 B4 B5 ..., as PES payloads with PTS and DTS; only every
    `timed_every`-th PES carries them. POC type 1: each slice's
    delta_pic_order_cnt[0] puts its count at twice its display index; with
    `lsb_step`, POC type 0 counting that many a frame instead."""
    cycle = (2,)
    sps = h264.sps(profile_idc=77, width_mbs=WIDTH_MBS, height_map_units=HEIGHT // 16,
                   poc_type=1 if lsb_step is None else 0, offsets_for_ref_frame=cycle, max_num_ref_frames=2,
                   timing=(1, 50), reorder=2)
    pps = h264.pps()
    order = [0]
    for p in range(3, frames, 3):
        order += [p, p - 2, p - 1]
    out = []
    prev_ref_frame_num = prev_frame_num = offset = 0
    for n, d in enumerate(order):
        ref = d % 3 == 0
        frame_num = 0 if n == 0 else (prev_ref_frame_num + 1) % 16
        if n and prev_frame_num > frame_num:
            offset += 16  # FrameNumOffset follows frame_num's wraps
        prev_frame_num = frame_num
        delta = 2 * d - _expected_poc_type1(offset, frame_num, ref, cycle)
        if ref:
            prev_ref_frame_num = frame_num
        y, cb, cr = frame_planes(d)
        nals = [h264.aud()] + ([sps, pps] if n == 0 else [])
        if lsb_step is None:
            nals.append(pcm_slice(macroblocks(y, cb, cr), idr=n == 0, ref=ref, frame_num=frame_num, delta_poc=delta))
        else:
            nals.append(pcm_slice(macroblocks(y, cb, cr), idr=n == 0, ref=ref, frame_num=frame_num,
                                  poc_lsb=lsb_step * d % 64))
        timed = n % timed_every == 0
        pts = first_pts + d * FRAME if timed else None
        dts = first_pts + (n - 1) * FRAME if timed else None
        out.append((h264.annexb(*nals), pts, dts))
    return out


def mux(video: list[tuple], audio: list[tuple[bytes, int]] = (), *, video_pid: int = 256, audio_pid: int = 257) -> bytes:
    """PAT, PMT (H.264, and ADTS AAC when `audio` is given), then the video
    PES (payload, PTS[, DTS]) and the audio PES (payload, PTS) interleaved
    by time, PAT and PMT again every 40 PES."""
    streams = [ts.Stream(ts.H264, video_pid)] + ([ts.Stream(ts.AAC_ADTS, audio_pid)] if audio else [])
    events = []
    last = 0
    for v in video:  # in decode order
        decode = v[2] if len(v) > 2 and v[2] is not None else v[1]
        last = decode if decode is not None else last + FRAME
        events.append((last, 0, video_pid, v))
    events += [(a[1], 1, audio_pid, a) for a in audio]
    events.sort(key=lambda e: (e[0], e[1]))  # stable: the video keeps its order
    w = ts.TsWriter()
    for n, (_, _, pid, e) in enumerate(events):
        if n % 40 == 0:
            w.pat({1: 0x1000}).pmt(0x1000, streams)
        if pid == video_pid:
            pts, dts = e[1], (e[2] if len(e) > 2 else None)
            w.pes(pid, ts.VIDEO_STREAM_ID, e[0], pts=pts, dts=dts if dts != pts else None)
        else:
            w.pes(pid, ts.AUDIO_STREAM_ID, e[0], pts=e[1])
    return w.bytes()
