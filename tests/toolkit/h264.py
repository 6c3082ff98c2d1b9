"""H.264 (ITU-T H.264) bitstream builder for tests: an Exp-Golomb bit
writer, SPS/PPS/slice/AUD NAL units and Annex B byte streams.

The NAL units are syntactically valid as far as they go; slices carry only
the first fields of the header, so they are for the access-unit and
parameter-set logic, not for a decoder (real pictures come from fixtures).
"""

from __future__ import annotations

from collections.abc import Sequence

# nal_unit_type (H.264 table 7-1).
SLICE = 1
IDR = 5
SEI = 6
SPS = 7
PPS = 8
AUD = 9

HIGH_PROFILES = (100, 110, 122, 244, 44, 83, 86, 118, 128)


class BitWriter:
    """Most-significant-bit-first writer with ue(v)/se(v) (H.264 9.1)."""

    def __init__(self) -> None:
        self.bits: list[int] = []

    def u(self, n: int, value: int) -> BitWriter:
        self.bits += [(value >> i) & 1 for i in range(n - 1, -1, -1)]
        return self

    def flag(self, value: bool) -> BitWriter:
        return self.u(1, int(bool(value)))

    def ue(self, value: int) -> BitWriter:
        code = value + 1
        n = code.bit_length() - 1
        return self.u(n, 0).u(n + 1, code)

    def se(self, value: int) -> BitWriter:
        return self.ue(2 * value - 1 if value > 0 else -2 * value)

    def trailing(self) -> BitWriter:
        """rbsp_trailing_bits: a one bit, then zeros to the byte boundary."""
        self.u(1, 1)
        while len(self.bits) % 8:
            self.bits.append(0)
        return self

    def bytes(self) -> bytes:
        """The bits written, zero-padded to whole bytes."""
        bits = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def escape(rbsp: bytes) -> bytes:
    """Inserts emulation_prevention_three_byte (H.264 7.4.1) after 00 00
    when the next byte is 00..03."""
    out = bytearray()
    zeros = 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def nal(nal_type: int, rbsp: bytes, *, ref_idc: int = 3) -> bytes:
    """NAL unit: header byte, then the escaped RBSP."""
    return bytes([(ref_idc & 3) << 5 | (nal_type & 0x1F)]) + escape(rbsp)


def annexb(*nals: bytes, long_start: bool = True) -> bytes:
    """Joins NAL units into an Annex B byte stream with 4- or 3-byte start codes."""
    start = b"\x00\x00\x00\x01" if long_start else b"\x00\x00\x01"
    return b"".join(start + n for n in nals)


def sps(*, width_mbs: int = 20, height_map_units: int = 15, profile_idc: int = 66, constraint_flags: int = 0,
        level_idc: int = 30, sps_id: int = 0, chroma_format_idc: int = 1,
        separate_colour_plane: bool = False, bit_depth_luma_minus8: int = 0, bit_depth_chroma_minus8: int = 0,
        scaling_lists: Sequence[Sequence[int] | None] | None = None, log2_max_frame_num_minus4: int = 0,
        poc_type: int = 0, log2_max_poc_lsb_minus4: int = 2, offset_for_non_ref_pic: int = 0,
        offset_for_top_to_bottom_field: int = 0, offsets_for_ref_frame: Sequence[int] = (),
        max_num_ref_frames: int = 1, frame_mbs_only: bool = True, crop: tuple[int, int, int, int] | None = None,
        vui: bool = False, timing: tuple[int, int] | None = None, reorder: int | None = None,
        delta_pic_order_always_zero: bool = False) -> bytes:
    """Sequence parameter set NAL unit (H.264 7.3.2.1.1).

    The picture is `width_mbs` macroblocks wide and `height_map_units` map
    units high (frame MBs, or MB pairs when not `frame_mbs_only`).
    `crop` = (left, right, top, bottom) frame_crop offsets. `timing`
    (num_units_in_tick, time_scale) and `reorder` (max_num_reorder_frames)
    write a VUI with timing_info and bitstream_restriction.

    The chroma/bit-depth/scaling fields are written only for the High
    profiles, as the syntax says. `scaling_lists` None leaves
    seq_scaling_matrix_present_flag at 0; otherwise the flag is 1 and each
    entry is either None (list not present) or the delta_scale values to
    write, in order (e.g. [8] + [0] * 15 for a flat 16 list, or [-8] to
    switch to the default list after one value). Missing entries are not
    present; 8 lists are coded (12 for chroma_format_idc 3).
    """
    w = BitWriter().ue(sps_id)
    if profile_idc in HIGH_PROFILES:
        w.ue(chroma_format_idc)
        if chroma_format_idc == 3:
            w.flag(separate_colour_plane)
        w.ue(bit_depth_luma_minus8).ue(bit_depth_chroma_minus8).flag(False)
        w.flag(scaling_lists is not None)
        if scaling_lists is not None:
            count = 12 if chroma_format_idc == 3 else 8
            lists = list(scaling_lists) + [None] * (count - len(scaling_lists))
            for deltas in lists[:count]:
                w.flag(deltas is not None)
                for d in deltas or ():
                    w.se(d)
    w.ue(log2_max_frame_num_minus4).ue(poc_type)
    if poc_type == 0:
        w.ue(log2_max_poc_lsb_minus4)
    elif poc_type == 1:
        w.flag(delta_pic_order_always_zero).se(offset_for_non_ref_pic).se(offset_for_top_to_bottom_field)
        w.ue(len(offsets_for_ref_frame))
        for off in offsets_for_ref_frame:
            w.se(off)
    w.ue(max_num_ref_frames).flag(False)
    w.ue(width_mbs - 1).ue(height_map_units - 1)
    w.flag(frame_mbs_only)
    if not frame_mbs_only:
        w.flag(True)  # mb_adaptive_frame_field_flag
    w.flag(True)  # direct_8x8_inference_flag
    w.flag(crop is not None)
    for offset in crop or ():
        w.ue(offset)
    w.flag(vui or timing is not None or reorder is not None)
    if timing is not None or reorder is not None:
        w.flag(False).flag(False).flag(False).flag(False)  # aspect ratio, overscan, signal type, chroma location
        w.flag(timing is not None)
        if timing is not None:
            w.u(32, timing[0]).u(32, timing[1]).flag(True)  # fixed_frame_rate_flag
        w.flag(False).flag(False).flag(False)  # NAL and VCL HRD, pic_struct_present_flag
        w.flag(reorder is not None)
        if reorder is not None:
            w.flag(True).ue(0).ue(0).ue(16).ue(16).ue(reorder).ue(reorder + 1)
    elif vui:
        w.flag(False).flag(False).flag(False).flag(False).flag(False).flag(False).flag(False).flag(False).flag(False)
    w.trailing()
    return nal(SPS, bytes([profile_idc, constraint_flags, level_idc]) + w.bytes())


def pps(*, pps_id: int = 0, sps_id: int = 0, entropy_coding: bool = False) -> bytes:
    """Picture parameter set NAL unit (H.264 7.3.2.2), one slice group."""
    w = BitWriter().ue(pps_id).ue(sps_id).flag(entropy_coding).flag(False).ue(0)
    w.ue(0).ue(0).flag(False).u(2, 0)          # ref idx defaults, weighted prediction
    w.se(0).se(0).se(0)                         # pic_init_qp/qs, chroma_qp_index_offset
    w.flag(True).flag(False).flag(False).trailing()
    return nal(PPS, w.bytes())


def slice_nal(*, idr: bool = True, first_mb: int = 0, slice_type: int | None = None, pps_id: int = 0,
              ref_idc: int = 3, body: bytes = b"\x88\x84\x21\xa0") -> bytes:
    """A slice NAL unit (type 5 when `idr`, else 1) whose header holds
    first_mb_in_slice, slice_type and pic_parameter_set_id, followed by
    `body` as stand-in slice data. slice_type defaults to 7 (I) for IDR
    and 5 (P) otherwise."""
    if slice_type is None:
        slice_type = 7 if idr else 5
    w = BitWriter().ue(first_mb).ue(slice_type).ue(pps_id).trailing()
    return nal(IDR if idr else SLICE, w.bytes() + body, ref_idc=ref_idc)


def aud(primary_pic_type: int = 7) -> bytes:
    """Access unit delimiter (type 9): primary_pic_type, trailing bits."""
    return nal(AUD, BitWriter().u(3, primary_pic_type).trailing().bytes(), ref_idc=0)


def sei(payload_type: int = 5, payload: bytes = b"\x00" * 16) -> bytes:
    """An SEI NAL unit (type 6) holding one message (default: 16 bytes of
    user_data_unregistered)."""
    return nal(SEI, bytes([payload_type, len(payload)]) + payload + b"\x80", ref_idc=0)
