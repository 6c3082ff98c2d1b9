"""From files to a file, in bounded memory: ``write_file``."""

from __future__ import annotations

import contextlib
import os
import secrets
from typing import Callable, Union

from morvex import _morvex

PathLike = Union[str, "os.PathLike[str]"]

# The functions whose output is one file, and how many inputs each takes.
_JOBS = {
    "convert_ts_to_mp4": 1,
    "convert_ts_to_fmp4": 1,
    "defragment_mp4": 1,
    "reset_mp4_timestamps": 1,
    "convert_mp4_reset_timestamps": 1,
    "mux_fmp4_tracks": 2,
    "clip": 1,
    "concat": 0,  # one or more
}


def write_file(function: Callable[..., bytes], *inputs: PathLike, output: PathLike, overwrite: bool = False,
               progress: Callable[[str, int, int], object] | None = None,
               report: Callable[[str], object] | None = ...,  # type: ignore[assignment]
               start: float = 0.0, end: float | None = None, exact: bool = False) -> int:
    """Run one of morvex's functions from input files to an output file.

    function is convert_ts_to_mp4, convert_ts_to_fmp4, defragment_mp4,
    reset_mp4_timestamps, convert_mp4_reset_timestamps, mux_fmp4_tracks
    (which takes two inputs), clip (with start, end and exact as it takes
    them) or concat (which takes one input per part); inputs are the paths
    of its input files and output the path of the file to write. The result is the same as the
    function's on the files' bytes, but memory stays bounded whatever the
    files' size: each input is mapped rather than read, and the output is
    written straight into the output file at its planned size, so the
    process holds only the plan (its sample tables and index), about 2% of
    the input at the most, plus 64 MB.

    The output is written to a temporary file in its folder and renamed into
    place once whole; an error or Ctrl-C leaves no partial file. An existing
    output is refused (FileExistsError) unless overwrite is true, and an
    output that is one of the inputs always is (ValueError). An input file
    must not shrink while the call reads it.

    progress, when given, is called now and then with ("write", bytes
    written, bytes in all). report is taken as by the transport stream
    functions (left out: sys.stdout; None: nowhere; a callable).

    Returns the size of the file written. Raises what the function raises,
    and OSError for a file that cannot be read or written.
    """
    name = getattr(function, "__name__", "")
    if getattr(_morvex, name, None) is not function or name not in _JOBS:
        raise TypeError(f"write_file takes one of {', '.join(_JOBS)}, not {function!r}")
    if len(inputs) != _JOBS[name] and not (_JOBS[name] == 0 and inputs):
        raise TypeError(f"{name} takes {_JOBS[name] or 'one or more'} input file(s), not {len(inputs)}")
    if name != "clip" and (start or end is not None or exact):
        raise TypeError("start, end and exact are clip's")
    paths = [os.fspath(p) for p in inputs]
    target = os.fspath(output)
    for path in paths:
        with contextlib.suppress(FileNotFoundError):
            if os.path.samefile(path, target):
                raise ValueError(f"{target}: is the input {path}; not writing over it")
    if not overwrite and os.path.lexists(target):
        raise FileExistsError(f"{target}: already exists")
    folder = os.path.dirname(target) or "."
    temporary = os.path.join(folder, f".{os.path.basename(target)}.{secrets.token_hex(4)}.part")
    fd = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        try:
            size: int = _morvex._write_file(name, paths, fd, progress=progress, report=report, start=start, end=end,
                                            exact=exact)
        finally:
            os.close(fd)
        if overwrite:
            os.replace(temporary, target)
        else:
            # A hard link fails if the name was taken meanwhile, where a
            # rename would replace it.
            try:
                os.link(temporary, target)
            except FileExistsError:
                raise FileExistsError(f"{target}: already exists") from None
            except OSError:
                os.replace(temporary, target)
        return size
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
