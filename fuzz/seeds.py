"""Writes the seed corpus of every fuzz target into one folder per target:

    python3 fuzz/seeds.py OUT

Transport stream targets start from the TS fixtures, MP4 targets from the
MP4 and HLS fixtures; the parser targets from pieces cut out of them or
built by the test toolkit. Targets that take choices from the end of their
input (a split length, operation bits) get them appended here.
"""

from __future__ import annotations

import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from tests.toolkit import FIXTURES, cenc, hls_concat, h264, pcm, repack, ts  # noqa: E402

HLS = ("hls", "hls_live", "hls_vod")


def fixtures(suffix: str) -> dict[str, bytes]:
    return {p.stem: p.read_bytes() for p in sorted(FIXTURES.glob(f"*{suffix}"))}


def split(first: bytes, second: bytes) -> bytes:
    """Two inputs as one: the first, the second, and the first's length."""
    return first + second + struct.pack(">I", len(first))


def payloads(data: bytes) -> list[bytes]:
    """Payloads of the packets of a stream that begin a PES."""
    out = []
    for i in range(0, len(data) - 187, 188):
        p = data[i:i + 188]
        if p[0] != 0x47 or not p[1] & 0x40 or not p[3] & 0x10:
            continue
        start = 5 + p[4] if p[3] & 0x20 else 4
        if p[start:start + 3] == b"\0\0\1":
            out.append(p[start:])
    return out


def elementary_stream(data: bytes, pid: int) -> bytes:
    """The PES payloads of a PID, joined (their headers left out)."""
    return b"".join(p.payload for p in repack.read(data)[1] if p.pid == pid)


def boxes_named(data: bytes, kind: bytes) -> list[bytes]:
    """Payloads of every box of a type, found by its type bytes."""
    out, at = [], data.find(kind)
    while at >= 4:
        size = struct.unpack_from(">I", data, at - 4)[0]
        if 8 <= size <= len(data) - at + 4:
            out.append(data[at + 4:at - 4 + size])
        at = data.find(kind, at + 1)
    return out


def corpora() -> dict[str, dict[str, bytes]]:
    streams = fixtures(".ts")
    # Shapes the toolkit makes: field pictures, pictures timed by their order
    # counts, a PMT version that adds the audio, lost packets, LATM.
    bframes = streams["bframes_48k_stereo"]
    streams |= {"toolkit_paff": pcm.mux(pcm.paff(12)), "toolkit_poc1": pcm.mux(pcm.reordered(13, timed_every=3)),
                "toolkit_audio_added": repack.audio_added(bframes, 0.5)[0],
                "toolkit_damaged": repack.damaged(bframes)[0], "toolkit_latm": repack.latm(bframes)}
    mp4s = fixtures(".mp4") | {name: hls_concat(name) for name in HLS}
    mp4s |= {f"{name}_init": (FIXTURES / name / "init.mp4").read_bytes() for name in HLS}
    # Encrypted fragments (encv, enca; senc, saiz and saio in every traf).
    mp4s["toolkit_cenc"] = cenc.encrypt(mp4s["av_frag"], bytes(range(16)), bytes(16))
    pes = {f"{name}_{k}": p for name, data in streams.items() for k, p in enumerate(payloads(data)[:4])}
    sps = {"toolkit_vui": h264.sps(vui=True), "toolkit_crop": h264.sps(crop=(0, 4, 0, 2), profile_idc=100),
           "toolkit_interlaced": h264.sps(frame_mbs_only=False), "toolkit_poc1": h264.sps(poc_type=1,
                                                                                         offsets_for_ref_frame=(1, -1))}
    avcc, adts = {}, {}
    for name, data in mp4s.items():
        for k, record in enumerate(boxes_named(data, b"avcC")[:1]):
            mdat = boxes_named(data, b"mdat")
            avcc[name] = split(record, mdat[0][:4096] if mdat else b"")
            sps[name] = record[8:8 + struct.unpack_from(">H", record, 6)[0]]
    frames = b"".join(ts.adts_frame(bytes([k]) * (20 + k)) for k in range(12))
    adts = {"frames": frames + b"\x07", "crc": ts.adts_frame(b"\1" * 40, protection_absent=False) * 3 + b"\0",
            "resync": b"\xff\xf1" + frames[5:] + b"\x01"}
    segments = {}
    for name in HLS:
        init = (FIXTURES / name / "init.mp4").read_bytes()
        for k, seg in enumerate(sorted((FIXTURES / name).glob("seg*.m4s"))[:2]):
            # All processing; then process, reset, set the init again, process.
            segments[f"{name}_{k}_all"] = split(init, seg.read_bytes()) + b"\x00\x00"
            segments[f"{name}_{k}_mixed"] = split(init, seg.read_bytes()) + bytes([0b00000000, 0b10010100])
    pairs = {"frag": ("video_frag", "audio_frag"), "regular": ("video_regular", "audio_regular"),
             "gst": ("gst_video", "gst_audio"), "hls": ("hls", "audio_frag"),
             "cenc": ("toolkit_cenc", "audio_frag")}
    mux = {name: split(mp4s[v], mp4s[a]) for name, (v, a) in pairs.items()}
    # Pieces of 188 * 7 bytes; of 1000 and 17 by turns (cutting packets);
    # of 4096 and 1. The target reads the first 128 KB.
    pieces = {f"{name}_{n}": data[:128 * 1024] + struct.pack(">I", word) for name, data in streams.items()
              for n, word in (("1316", 1315 | 1315 << 12), ("1000_17", 999 | 16 << 12), ("4096_1", 4095))}
    mp4_targets = ("box_layer", "defragment", "reset_timestamps", "convert_mp4_reset", "thumbnail_mp4")
    mpeg2 = {"fixture": elementary_stream(streams["mpeg2_video"], 256) + b"\x07"}
    latm = {"fixture": elementary_stream(streams["latm_audio"], 257) + b"\x03",
            "rewrap": elementary_stream(streams["toolkit_latm"], 257) + b"\x10"}
    return ({t: streams for t in ("ts_demux", "ts_to_mp4", "thumbnail_ts")} | {t: mp4s for t in mp4_targets}
            | {"mpeg2_video": mpeg2, "latm": latm}
            | {"pes": pes, "sps": sps, "avc_config": avcc, "adts": adts, "mux": mux, "segment_processor": segments,
               "transmuxer": pieces})


def main(out: str) -> None:
    for target, seeds in corpora().items():
        folder = Path(out) / f"fuzz_{target}"
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1])
