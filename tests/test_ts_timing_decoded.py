"""Transport streams with real-world timing, converted and read back by PyAV
against their source: variable frame rate, PES layouts other than one
picture per PES, and lost audio. Every picture and every audio frame must
present within 1 ms of its source time (counted from the first picture, so
the A/V offset counts too), none may be lost, and the output decodes without
errors with strictly increasing DTS."""

import pytest

import morvex
from toolkit import FIXTURES, repack
from toolkit.media import decode_order_faults, misplaced, timing


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


# input, and the stream whose timing it must keep (itself unless its PES hide
# the pictures' times from PyAV: then the FFmpeg stream it was re-packetised from)
CASES = {
    # 30 fps with three pictures dropped, a 1 s hole, then 15 fps; B-frames
    "variable frame rate": (lambda: fixture("vfr.ts"), "vfr.ts"),
    # 2-3 pictures per PES, only the first one's PTS/DTS in the header
    "several pictures per PES": (lambda: fixture("multi_au_pes.ts"), "mono_44k.ts"),
    # PES of 1000 bytes cut across pictures: a PES times the first picture that starts in it
    "PES cut across pictures": (lambda: repack.cut(fixture("mono_44k.ts")), "mono_44k.ts"),
    # GStreamer: one PES per NAL unit; the continuation PES carry the picture's DTS as PTS
    "one PES per NAL unit": (lambda: fixture("gst_nal_pes.ts"), "gst_nal_pes.ts"),
    # 0.5 s of ADTS frames lost; the later audio keeps its place
    "audio gap": (lambda: fixture("audio_gap.ts"), "audio_gap.ts"),
}


@pytest.mark.parametrize("make, source", CASES.values(), ids=CASES.keys())
def test_every_frame_presents_at_its_source_time(make, source):
    src = timing(fixture(source))
    out = timing(morvex.convert_ts_to_mp4(make()))
    problems = misplaced(src, out)
    assert not problems, "\n".join(problems[:10])
    faults = [f for t in out.values() for f in decode_order_faults(t)]
    assert not faults, "\n".join(faults[:10])
    assert out["video"].keys == src["video"].keys
    assert out["audio"].rate == src["audio"].rate
