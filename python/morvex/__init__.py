"""In-memory conversion and repair of video containers.

Every function takes ``bytes`` (or any other C-contiguous buffer, read in
place) and returns new ``bytes``; see the docstrings of the functions and of
the classes. ``write_file`` runs one of them from files to a file in bounded
memory. The ``morvex`` command (also ``python -m morvex``) applies them to
files.
"""

from morvex._morvex import (
    FragmentedMP4Processor,
    TransportStreamTransmuxer,
    __version__,
    clip,
    concat,
    convert_mp4_reset_timestamps,
    convert_ts_to_fmp4,
    convert_ts_to_mp4,
    defragment_mp4,
    extract_thumbnail_from_mp4,
    extract_thumbnail_from_ts,
    mux_fmp4_tracks,
    package_cmaf,
    probe,
    recover_mp4,
    reset_mp4_timestamps,
)
from morvex._files import write_file
from morvex._types import Probe, ProbeTrack

__all__ = [
    "__version__",
    "convert_ts_to_mp4",
    "defragment_mp4",
    "reset_mp4_timestamps",
    "convert_mp4_reset_timestamps",
    "mux_fmp4_tracks",
    "extract_thumbnail_from_ts",
    "extract_thumbnail_from_mp4",
    "FragmentedMP4Processor",
    "convert_ts_to_fmp4",
    "TransportStreamTransmuxer",
    "probe",
    "clip",
    "concat",
    "package_cmaf",
    "recover_mp4",
    "write_file",
    "Probe",
    "ProbeTrack",
]
