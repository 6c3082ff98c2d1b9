"""MPEG-2 transport stream builder (ISO/IEC 13818-1 / H.222.0) for tests.

Packets, PSI sections (PAT, PMT) with CRC_32, PES headers with 33-bit
PTS/DTS, packetisation of a PES across packets, and ADTS frames
(ISO/IEC 13818-7 / 14496-3). Everything returns bytes; nothing is checked,
so tests can also build deliberately broken input.
"""

from __future__ import annotations

from collections import defaultdict
from dataclasses import dataclass

PACKET_SIZE = 188
SYNC = 0x47

# stream_type values (H.222.0 table 2-34) the demultiplexer selects.
H264 = 0x1B
MPEG2_VIDEO = 0x02
AAC_ADTS = 0x0F
MPEG2_AUDIO = 0x03

VIDEO_STREAM_ID = 0xE0
AUDIO_STREAM_ID = 0xC0


# --- packets -----------------------------------------------------------------

def packet(pid: int, payload: bytes = b"", *, pusi: bool = False, cc: int = 0,
           af: bytes | None = None, af_length: int | None = None) -> bytes:
    """One 188-byte TS packet.

    `af` is the adaptation field after its length byte (flags first). When the
    payload is shorter than 184 bytes and no `af` is given, the adaptation
    field is stuffed with 0xFF so the packet is full. A packet without
    payload has the payload-present bit clear. `af_length` overrides the
    adaptation_field_length byte (to build broken packets); the packet is
    then padded or cut to 188 bytes.
    """
    room = PACKET_SIZE - 4 - len(payload)
    if room < 0:
        raise ValueError(f"payload of {len(payload)} bytes does not fit a packet")
    if af is None and room > 0:
        af = b"" if room == 1 else b"\x00" + b"\xff" * (room - 2)
    if af is not None:
        stuffing = PACKET_SIZE - 4 - 1 - len(af) - len(payload)
        if stuffing < 0:
            raise ValueError("adaptation field and payload do not fit a packet")
        af = af + b"\xff" * stuffing
    control = (0x20 if af is not None else 0) | (0x10 if payload else 0)
    header = bytes([SYNC, (0x40 if pusi else 0) | (pid >> 8 & 0x1F), pid & 0xFF, control | (cc & 0x0F)])
    body = b"" if af is None else bytes([len(af) if af_length is None else af_length]) + af
    out = header + body + payload
    return (out + b"\xff" * PACKET_SIZE)[:PACKET_SIZE]


def packetise(pid: int, data: bytes, *, cc: int = 0, pusi: bool = True) -> list[bytes]:
    """Splits `data` (a PES, or a pointer_field plus sections) over packets.

    The first packet carries payload_unit_start (when `pusi`), the continuity
    counter counts up from `cc`, and the last packet is stuffed through its
    adaptation field.
    """
    chunks = [data[i:i + 184] for i in range(0, len(data), 184)] or [b""]
    return [packet(pid, chunk, pusi=pusi and n == 0, cc=cc + n) for n, chunk in enumerate(chunks)]


# --- PSI ---------------------------------------------------------------------

def crc32_mpeg(data: bytes) -> int:
    """CRC_32 of PSI sections (H.222.0 annex A): polynomial 0x04C11DB7,
    initial value 0xFFFFFFFF, no reflection, no final XOR."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def section(table_id: int, table_id_extension: int, body: bytes, *, version: int = 0) -> bytes:
    """A long-form PSI section: header, `body`, CRC_32.

    section_length counts from after its own field through the CRC.
    """
    length = 5 + len(body) + 4
    head = bytes([
        table_id,
        0xB0 | (length >> 8 & 0x0F), length & 0xFF,   # section_syntax_indicator, '0', reserved
        table_id_extension >> 8, table_id_extension & 0xFF,
        0xC1 | (version & 0x1F) << 1,                 # reserved, version, current_next_indicator
        0x00, 0x00,                                   # section_number, last_section_number
    ])
    data = head + body
    return data + crc32_mpeg(data).to_bytes(4, "big")


def pat(programs: dict[int, int] | list[tuple[int, int]], *, transport_stream_id: int = 1) -> bytes:
    """PAT section (table_id 0): program_number -> PID of its PMT
    (program_number 0 names the network PID)."""
    items = programs.items() if isinstance(programs, dict) else programs
    body = b"".join(bytes([n >> 8, n & 0xFF, 0xE0 | (pid >> 8), pid & 0xFF]) for n, pid in items)
    return section(0x00, transport_stream_id, body)


def descriptor(tag: int, body: bytes) -> bytes:
    return bytes([tag, len(body)]) + body


@dataclass
class Stream:
    """One elementary-stream entry of a PMT."""
    stream_type: int
    pid: int
    descriptors: bytes = b""


def pmt(streams: list[Stream], *, program_number: int = 1, pcr_pid: int | None = None,
        program_info: bytes = b"", version: int = 0) -> bytes:
    """PMT section (table_id 2) listing `streams` in order; the PCR PID
    defaults to the first stream's."""
    if pcr_pid is None:
        pcr_pid = streams[0].pid if streams else 0x1FFF
    body = bytearray([0xE0 | (pcr_pid >> 8), pcr_pid & 0xFF,
                      0xF0 | (len(program_info) >> 8), len(program_info) & 0xFF])
    body += program_info
    for s in streams:
        n = len(s.descriptors)
        body += bytes([s.stream_type, 0xE0 | (s.pid >> 8), s.pid & 0xFF, 0xF0 | (n >> 8), n & 0xFF])
        body += s.descriptors
    return section(0x02, program_number, bytes(body), version=version)


def psi_packets(pid: int, sect: bytes, *, cc: int = 0, pointer_field: int = 0) -> list[bytes]:
    """A section behind its pointer_field (and that many filler bytes),
    split over packets."""
    return packetise(pid, bytes([pointer_field]) + b"\xff" * pointer_field + sect, cc=cc)


# --- PES ---------------------------------------------------------------------

def timestamp(prefix: int, value: int) -> bytes:
    """The 5-byte PTS/DTS field: 4-bit prefix, 33-bit value with marker bits."""
    v = value & ((1 << 33) - 1)
    return bytes([
        (prefix << 4) | ((v >> 30) & 0x07) << 1 | 1,
        (v >> 22) & 0xFF,
        ((v >> 15) & 0x7F) << 1 | 1,
        (v >> 7) & 0xFF,
        (v & 0x7F) << 1 | 1,
    ])


def pes_header(stream_id: int, *, pts: int | None = None, dts: int | None = None,
               payload_length: int | None = None, extra: bytes = b"") -> bytes:
    """PES header (H.222.0 2.4.3.6) with optional PTS and DTS.

    PES_packet_length is computed from `payload_length`, or 0 (unbounded,
    allowed for video) when it is None. `extra` is appended to the optional
    header fields (it counts in PES_header_data_length), e.g. stuffing.
    """
    if dts is not None and pts is None:
        raise ValueError("a DTS needs a PTS")
    fields = b""
    flags = 0x00
    if pts is not None and dts is not None:
        flags, fields = 0xC0, timestamp(0b0011, pts) + timestamp(0b0001, dts)
    elif pts is not None:
        flags, fields = 0x80, timestamp(0b0010, pts)
    fields += extra
    length = 0 if payload_length is None else 3 + len(fields) + payload_length
    if length > 0xFFFF:
        length = 0
    return b"\x00\x00\x01" + bytes([stream_id, length >> 8, length & 0xFF, 0x80, flags, len(fields)]) + fields


def pes(stream_id: int, payload: bytes, *, pts: int | None = None, dts: int | None = None,
        bounded: bool = True) -> bytes:
    """A whole PES packet; `bounded` fills in PES_packet_length."""
    return pes_header(stream_id, pts=pts, dts=dts, payload_length=len(payload) if bounded else None) + payload


class TsWriter:
    """Accumulates packets of a stream, keeping a continuity counter per PID.

        w = TsWriter()
        w.pat({1: 0x1000}); w.pmt(0x1000, [Stream(H264, 256), Stream(AAC_ADTS, 257)])
        w.pes(256, VIDEO_STREAM_ID, annexb_bytes, pts=..., dts=...)
        data = w.bytes()
    """

    def __init__(self) -> None:
        self.packets: list[bytes] = []
        self.cc: dict[int, int] = defaultdict(int)

    def _add(self, pid: int, packets: list[bytes]) -> None:
        self.packets += packets
        self.cc[pid] = (self.cc[pid] + len(packets)) & 0x0F

    def pat(self, programs: dict[int, int] | list[tuple[int, int]], **kw) -> TsWriter:
        self._add(0, psi_packets(0, pat(programs, **kw), cc=self.cc[0]))
        return self

    def pmt(self, pid: int, streams: list[Stream], **kw) -> TsWriter:
        self._add(pid, psi_packets(pid, pmt(streams, **kw), cc=self.cc[pid]))
        return self

    def pes(self, pid: int, stream_id: int, payload: bytes, *, pts: int | None = None,
            dts: int | None = None, bounded: bool | None = None) -> TsWriter:
        """Adds one PES; video PES are unbounded by default, audio bounded."""
        if bounded is None:
            bounded = not (0xE0 <= stream_id <= 0xEF)
        data = pes(stream_id, payload, pts=pts, dts=dts, bounded=bounded)
        self._add(pid, packetise(pid, data, cc=self.cc[pid]))
        return self

    def raw(self, *packets: bytes) -> TsWriter:
        self.packets += packets
        return self

    def bytes(self) -> bytes:
        return b"".join(self.packets)


# --- ADTS --------------------------------------------------------------------

# sampling_frequency_index (ISO/IEC 14496-3 table 1.18).
SAMPLING_FREQUENCIES = [96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350]


def adts_header(payload_length: int, *, profile: int = 1, sampling_frequency_index: int = 3,
                channel_configuration: int = 2, protection_absent: bool = True,
                frame_length: int | None = None) -> bytes:
    """ADTS fixed + variable header (7 bytes, or 9 with a zero CRC word).

    `profile` is the 2-bit field (audio object type - 1; 1 = AAC LC).
    frame_length counts the header; pass `frame_length` to override it.
    """
    header_length = 7 if protection_absent else 9
    n = header_length + payload_length if frame_length is None else frame_length
    fullness = 0x7FF
    h = bytes([
        0xFF,
        0xF0 | (1 if protection_absent else 0),               # MPEG-4, layer 0
        (profile & 3) << 6 | (sampling_frequency_index & 0x0F) << 2 | (channel_configuration >> 2 & 1),
        (channel_configuration & 3) << 6 | (n >> 11 & 0x03),
        (n >> 3) & 0xFF,
        (n & 0x07) << 5 | (fullness >> 6),
        (fullness & 0x3F) << 2,                               # number_of_raw_data_blocks_in_frame = 0
    ])
    return h if protection_absent else h + b"\x00\x00"


def adts_frame(payload: bytes, **header) -> bytes:
    """An ADTS frame: header (see `adts_header`) then the raw AAC payload."""
    return adts_header(len(payload), **header) + payload
