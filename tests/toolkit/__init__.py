"""Builders of synthetic inputs for the tests: transport streams (`ts`),
H.264 bitstreams (`h264`) and MP4 boxes (`mp4`)."""

import os
from pathlib import Path

FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"

IN_CI = os.environ.get("CI", "").lower() in ("1", "true", "yes")


def require(module: str):
    """Import an optional test dependency: without it the test is skipped
    on a developer machine and fails in CI, where it must be installed."""
    import importlib

    import pytest

    try:
        return importlib.import_module(module)
    except ImportError:
        if IN_CI:
            pytest.fail(f"{module} is not installed (required in CI)")
        pytest.skip(f"{module} is not installed")


def hls_concat(folder: str) -> bytes:
    """An HLS fMP4 fixture as one file: the init segment (EXT-X-MAP) and then
    the media segments in playlist order, as a player appends them."""
    d = FIXTURES / folder
    lines = (d / "stream.m3u8").read_text().splitlines()
    init = [ln.split('URI="')[1].split('"')[0] for ln in lines if ln.startswith("#EXT-X-MAP:")]
    segments = [ln for ln in lines if ln and not ln.startswith("#")]
    return b"".join((d / name).read_bytes() for name in init + segments)
