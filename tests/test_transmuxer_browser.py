"""The transmuxer's output in a real browser: headless Chromium appends the
initialisation segment and each transmuxed HLS segment to a MediaSource
SourceBuffer, and plays the result to the end. The page reports the
buffered ranges, whether playback ended, and how many video frames the
player took. Skipped without Chromium, unless MORVEX_REQUIRE_BROWSER=1."""

import http.server
import io
import json
import os
import shutil
import subprocess
import tempfile
import threading
from pathlib import Path

import av
import pytest

import morvex
from toolkit import FIXTURES

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

PAGE = """<!doctype html>
<html><body><video id="v" muted></video><script>
const report = (result) => fetch("/result", {method: "POST", body: JSON.stringify(result)});
window.onerror = (m) => report({error: String(m)});
async function main() {
  // One SourceBuffer for each entry: its MIME type and the files appended to it.
  const buffers = await (await fetch("/list.json")).json();
  const video = document.getElementById("v");
  const source = new MediaSource();
  video.src = URL.createObjectURL(source);
  await new Promise((ok) => source.addEventListener("sourceopen", ok, {once: true}));
  for (const {type} of buffers)
    if (!MediaSource.isTypeSupported(type)) return report({error: "unsupported " + type});
  // Every SourceBuffer is added before the first append.
  const added = buffers.map(({type}) => source.addSourceBuffer(type));
  for (const [k, {files}] of buffers.entries()) {
    const buffer = added[k];
    buffer.addEventListener("error", () => report({error: "SourceBuffer error"}));
    for (const name of files) {
      const data = await (await fetch("/" + name)).arrayBuffer();
      buffer.appendBuffer(data);
      await new Promise((ok) => buffer.addEventListener("updateend", ok, {once: true}));
    }
  }
  // What the element can play: the ranges every SourceBuffer holds.
  const ranges = [];
  for (let i = 0; i < video.buffered.length; i++) ranges.push([video.buffered.start(i), video.buffered.end(i)]);
  source.endOfStream();
  const ended = new Promise((ok) => video.addEventListener("ended", ok, {once: true}));
  video.addEventListener("error", () => report({error: "media error " + video.error.code + " " + video.error.message}));
  await video.play();
  await ended;
  const quality = video.getVideoPlaybackQuality();
  report({ranges, ended: video.ended, duration: source.duration, currentTime: video.currentTime,
          frames: quality.totalVideoFrames, dropped: quality.droppedVideoFrames});
}
main().catch((e) => report({error: String(e)}));
</script></body></html>
"""


def codecs_of(init: bytes) -> str:
    """The MIME type of the init segment: avc1.PPCCLL from its avcC
    (ISO/IEC 14496-15 5.3.3.1: profile, compatibility, level) and AAC LC."""
    at = init.index(b"avcC") + 4
    avc = "avc1." + init[at + 1:at + 4].hex()
    return f'video/mp4; codecs="{avc}, mp4a.40.2"' if b"mp4a" in init else f'video/mp4; codecs="{avc}"'


def source_video(segments: list[bytes]):
    """Frame count and duration (s) of the source's video, segment by segment."""
    frames, duration = 0, 0.0
    for s in segments:
        with av.open(io.BytesIO(s)) as c:
            times = sorted(float(f.pts * f.time_base) for f in c.decode(video=0))
        frames += len(times)
        duration += times[-1] - times[0] + (times[1] - times[0])
    return frames, duration


def needs_chromium() -> None:
    if CHROMIUM is None:
        if os.environ.get("MORVEX_REQUIRE_BROWSER") == "1":
            pytest.fail("chromium is not installed (MORVEX_REQUIRE_BROWSER=1)")
        pytest.skip("chromium is not installed")


def play(folder: Path, files: list, mime: str | None = None, timeout: float = 90.0) -> dict:
    """Plays files under `folder` in Chromium: the names `files` appended in
    order to one SourceBuffer of type `mime`; without `mime`, `files` holds
    for each SourceBuffer its MIME `type` and its `files`."""
    (folder / "index.html").write_text(PAGE)
    buffers = [{"type": mime, "files": files}] if mime else files
    (folder / "list.json").write_text(json.dumps(buffers))
    results: list[dict] = []
    got = threading.Event()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=str(folder), **kwargs)

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            results.append(json.loads(body))
            got.set()
            self.send_response(204)
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    profile = tempfile.mkdtemp()
    url = f"http://127.0.0.1:{server.server_address[1]}/index.html"
    browser = subprocess.Popen(
        [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--autoplay-policy=no-user-gesture-required", f"--user-data-dir={profile}", url],
        # (Without a sanitizer runtime the test run may preload for itself.)
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        got.wait(timeout)
    finally:
        browser.terminate()
        try:
            browser.wait(10)
        except subprocess.TimeoutExpired:
            browser.kill()
            browser.wait()
        server.shutdown()
        server.server_close()
        shutil.rmtree(profile, ignore_errors=True)
    assert results, "the page reported nothing"
    return results[0]


STREAMS = {
    "hls": ["hls_ts_a/seg0.ts", "hls_ts_a/seg1.ts"],
    # Two recordings one after the other, the second 1000 s later.
    "jump": ["hls_ts_a/seg0.ts", "hls_ts_a/seg1.ts", "hls_ts_b/seg0.ts", "hls_ts_b/seg1.ts"],
}


def live_files(folder: Path, init: bytes, parts: list[bytes]) -> list[str]:
    """As a live player gets them: the init segment, then each push's
    fragments, as files in `folder`; their names in order."""
    files = ["init.mp4"]
    (folder / "init.mp4").write_bytes(init)
    for n, part in enumerate(parts):
        part = part[len(init):] if part.startswith(init) else part
        if part:
            files.append(f"seg{n}.m4s")
            (folder / files[-1]).write_bytes(part)
    return files


@pytest.mark.parametrize("names", STREAMS.values(), ids=STREAMS.keys())
def test_chromium_plays_the_transmuxed_segments(names, tmp_path):
    needs_chromium()
    segments = [(FIXTURES / n).read_bytes() for n in names]
    t = morvex.TransportStreamTransmuxer()
    parts = [t.push(s) for s in segments] + [t.flush()]
    init = t.init_segment
    files = live_files(tmp_path, init, parts)
    frames, duration = source_video(segments)
    result = play(tmp_path, files, codecs_of(init))
    assert "error" not in result, result
    ranges = result["ranges"]
    # One range, from 0 to the end of the source's pictures.
    assert len(ranges) == 1, ranges
    assert ranges[0][0] == pytest.approx(0, abs=0.001), ranges
    assert ranges[0][1] >= duration - 0.03, (ranges, duration)
    assert result["ended"] is True
    assert result["frames"] == frames, result
