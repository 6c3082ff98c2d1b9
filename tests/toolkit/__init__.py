"""Builders of synthetic inputs for the tests: transport streams (`ts`),
H.264 bitstreams (`h264`) and MP4 boxes (`mp4`)."""

from pathlib import Path

FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"
