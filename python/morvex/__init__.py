"""In-memory conversion and repair of video containers.

Every function takes ``bytes`` (or any other C-contiguous buffer, read in
place) and returns new ``bytes``; see the docstrings of the functions and of
the classes. The ``morvex`` command (also ``python -m morvex``) applies them
to files.
"""

from morvex._morvex import (
    FragmentedMP4Processor,
    TransportStreamTransmuxer,
    __version__,
    convert_mp4_reset_timestamps,
    convert_ts_to_fmp4,
    convert_ts_to_mp4,
    defragment_mp4,
    extract_thumbnail_from_mp4,
    extract_thumbnail_from_ts,
    mux_fmp4_tracks,
    recover_mp4,
    reset_mp4_timestamps,
)

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
    "recover_mp4",
]
