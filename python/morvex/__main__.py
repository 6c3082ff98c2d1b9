"""Command line for the module's main jobs: `python -m morvex convert IN OUT`.

The extension works on bytes only; this front end reads the input files and
writes the result.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from morvex import _morvex

TS_SUFFIXES = {".ts", ".m2ts", ".mts", ".tsv", ".trp"}


def looks_like_ts(data: bytes, name: str) -> bool:
    """A transport stream starts with the sync byte 0x47 and repeats it every
    188 bytes; an MP4 starts with a box whose type sits at bytes 4 to 8."""
    if data[4:8] in (b"ftyp", b"styp", b"moov", b"moof", b"free", b"mdat", b"sidx"):
        return False
    if len(data) >= 189 and data[0] == 0x47 and data[188] == 0x47:
        return True
    return Path(name).suffix.lower() in TS_SUFFIXES


def thumbnail(data: bytes, name: str) -> bytes:
    if looks_like_ts(data, name):
        return _morvex.extract_thumbnail_from_ts(data)
    return _morvex.extract_thumbnail_from_mp4(data)


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m morvex", description="Convert and repair video containers.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str, *inputs: str) -> None:
        c = sub.add_parser(name, help=help, description=help)
        for dest in inputs:
            c.add_argument(dest, metavar="IN" if dest == "source" else dest.upper())
        c.add_argument("output", metavar="OUT")

    command("convert", "MPEG-TS (H.264, AAC) to MP4", "source")
    command("defragment", "fragmented MP4 to regular MP4", "source")
    command("reset", "rebase the timestamps of an MP4 to start at 0", "source")
    command("mux", "merge a video fMP4 and an audio fMP4 into one MP4", "video", "audio")
    command("thumbnail", "first key frame of a TS or an MP4, as H.264 Annex B", "source")
    p.add_argument("--version", action="version", version=f"morvex {_morvex.__version__}")
    return p


def run(args: argparse.Namespace) -> bytes:
    if args.command == "mux":
        return _morvex.mux_fmp4_tracks(Path(args.video).read_bytes(), Path(args.audio).read_bytes())
    data = Path(args.source).read_bytes()
    if args.command == "convert":
        return _morvex.convert_ts_to_mp4(data)
    if args.command == "defragment":
        return _morvex.defragment_mp4(data)
    if args.command == "reset":
        return _morvex.reset_mp4_timestamps(data)
    return thumbnail(data, args.source)


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        result = run(args)
        Path(args.output).write_bytes(result)
    except (ValueError, OSError, NotImplementedError) as e:
        sys.stdout.flush()
        print(f"morvex {args.command}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
