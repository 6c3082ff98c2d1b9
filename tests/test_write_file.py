"""morvex.write_file: the module's functions from files to a file, in
bounded memory. A stream larger than the process may allocate converts,
defragments and decodes to the end; small files give what the bytes
functions give."""

import os
import subprocess
import sys
import textwrap

import av
import pytest

import morvex
from toolkit import FIXTURES

JOBS = [
    (morvex.convert_ts_to_mp4, ["bframes_48k_stereo.ts"]),
    (morvex.convert_ts_to_fmp4, ["hevc_aac.ts"]),
    (morvex.defragment_mp4, ["av_frag.mp4"]),
    (morvex.reset_mp4_timestamps, ["av_frag_moov.mp4"]),
    (morvex.convert_mp4_reset_timestamps, ["av_regular.mp4"]),
    (morvex.mux_fmp4_tracks, ["video_frag.mp4", "audio_frag.mp4"]),
]


@pytest.mark.parametrize("function, names", JOBS, ids=[f.__name__ for f, _ in JOBS])
def test_files_give_what_bytes_give(tmp_path, function, names):
    paths = [FIXTURES / n for n in names]
    out = tmp_path / "out.mp4"
    size = morvex.write_file(function, *paths, output=out, report=None)
    assert out.read_bytes() == function(*(p.read_bytes() for p in paths))
    assert size == out.stat().st_size and os.listdir(tmp_path) == ["out.mp4"]
    with pytest.raises(FileExistsError):
        morvex.write_file(function, *paths, output=out, report=None)
    with pytest.raises(ValueError, match="is the input"):
        morvex.write_file(function, *paths, output=paths[0], overwrite=True)


def test_errors_leave_no_file(tmp_path):
    bad = tmp_path / "bad.ts"
    bad.write_bytes(b"\0" * 1000)
    with pytest.raises(ValueError, match="No valid TS sync byte found"):
        morvex.write_file(morvex.convert_ts_to_mp4, bad, output=tmp_path / "out.mp4", report=None)
    with pytest.raises(FileNotFoundError):
        morvex.write_file(morvex.defragment_mp4, tmp_path / "missing.mp4", output=tmp_path / "out.mp4")
    with pytest.raises(TypeError):
        morvex.write_file(morvex.extract_thumbnail_from_ts, bad, output=tmp_path / "key.h264")
    assert os.listdir(tmp_path) == ["bad.ts"]


LIMITED = """
import resource, sys
import morvex
limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
ts, converted, fragmented, regular = sys.argv[2:]
morvex.write_file(morvex.convert_ts_to_mp4, ts, output=converted, report=None)
seen = []
morvex.write_file(morvex.defragment_mp4, fragmented, output=regular, progress=lambda *a: seen.append(a))
assert seen[-1][1] == seen[-1][2] and len(seen) > 2, seen
try:
    morvex.defragment_mp4(open(fragmented, "rb").read())
except MemoryError:
    print("bytes: MemoryError")
"""


def test_a_stream_larger_than_the_memory_limit(tmp_path):
    if os.environ.get("MORVEX_SANITIZE"):
        pytest.skip("a sanitizer's shadow memory is not the module's")
    # Recordings joined into 250 MB and about 180000 pictures, as a TS and
    # as a fragmented MP4; the process may allocate 160 MB, less than either.
    one = (FIXTURES / "bframes_48k_stereo.ts").read_bytes()
    count = 250_000_000 // len(one)
    source = tmp_path / "joined.ts"
    with open(source, "wb") as f:
        for _ in range(count):
            f.write(one)
    fragmented, regular = tmp_path / "joined_frag.mp4", tmp_path / "joined.mp4"
    morvex.write_file(morvex.convert_ts_to_fmp4, source, output=fragmented, report=None)
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(LIMITED), str(160 << 20),
                          str(source), str(tmp_path / "converted.mp4"), str(fragmented), str(regular)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    # The bytes road could not even read the input under that limit.
    assert run.stdout == "bytes: MemoryError\n"
    for output in (regular, tmp_path / "converted.mp4"):
        with av.open(str(output)) as c:
            video = c.streams.video[0]
            assert video.frames == count * 50
            # The last seconds decode after a seek to the end.
            c.seek(int((float(video.duration * video.time_base) - 2) / video.time_base), stream=video)
            frames = list(c.decode(video, c.streams.audio[0]))
            assert sum(f.samples for f in frames if isinstance(f, av.AudioFrame)) >= 2 * 48000
            assert sum(isinstance(f, av.VideoFrame) for f in frames) >= 25
