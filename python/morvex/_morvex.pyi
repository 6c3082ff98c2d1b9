"""The compiled core of the morvex package.

Every function takes bytes (or any C-contiguous buffer, read in place)
and returns new bytes, and releases the interpreter lock while it works,
so threads convert in parallel.
"""
from collections.abc import Callable, Sequence
from typing import Final, final

from typing_extensions import Buffer

from morvex._types import Probe

__version__: Final[str]
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
]

def convert_ts_to_mp4(data: Buffer, reset_timestamps: bool = False, *, report: Callable[[str], object] | None = ...) -> bytes:
    """Convert an MPEG-2 transport stream to a regular MP4.

    data is the whole stream. The first programme with video (or, without
    any, with audio) is read: its first H.264, HEVC or MPEG-2 video stream
    and every audio stream holding AAC (ADTS or LATM), MPEG audio, AC-3 or
    E-AC-3 become the tracks of an MP4 made of ftyp, moov and one mdat, on
    a timeline that starts at 0 (at the first random access picture: IDR,
    recovery point, HEVC IRAP, MPEG-2 I picture). Streams a new PMT adds
    become tracks from where they appear.
    data may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.
    reset_timestamps is a bool accepted for compatibility; it changes
    nothing.
    report: left out, the demultiplexer's report is printed to sys.stdout;
    None prints nothing; a callable receives it as one str, for example
    logging.getLogger("morvex").info. A call that fails reports nothing.

    Returns the MP4 as new bytes.
    Raises TypeError if data is not a C-contiguous buffer, reset_timestamps
    not a bool or report neither callable nor None; ValueError if the stream
    has no TS sync byte, or neither video nor audio; what the report
    callable raises;
    MemoryError (saying how many bytes were asked for) when memory runs out,
    RuntimeError on an internal error.
    """

def defragment_mp4(data: Buffer) -> bytes:
    """Turn a fragmented MP4 into a regular MP4.

    data is the whole file: an initialisation moov followed by moof/mdat
    fragments. The result has ftyp, a moov with complete sample tables
    and no mvex, and one mdat. Each track keeps its offset from the
    earliest and the gaps between its fragments; an encrypted track keeps
    its IVs (senc, saiz, saio) or the call fails.
    data may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.

    Returns the MP4 as new bytes.
    Raises TypeError if data is not a C-contiguous buffer; ValueError if it
    is not a well-formed fragmented MP4 (the message names the problem);
    MemoryError (saying how many bytes were asked for) when memory runs out,
    RuntimeError on an internal error.
    """

def reset_mp4_timestamps(data: Buffer) -> bytes:
    """Rebase the timestamps of an MP4 so that it starts at 0.

    data is the whole file. Every track's fragment decode times (tfdt)
    move back by one instant, so the earliest track starts at 0 and the
    others keep their offset (samples the moov holds come first); a
    regular file whose tracks all start after an empty edit loses the
    common delay. The creation and modification times of mvhd, tkhd and
    mdhd are cleared and their durations set from the fragments. Only
    field values change; every box keeps its size and position.
    data may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.

    Returns the rewritten MP4 as new bytes.
    Raises TypeError if data is not a C-contiguous buffer; ValueError if the
    boxes are malformed (the message names the problem); MemoryError (saying
    how many bytes were asked for) when memory runs out, RuntimeError on an
    internal error.
    """

def convert_mp4_reset_timestamps(data: Buffer) -> bytes:
    """Defragment a fragmented MP4, or else reset its timestamps.

    data is the whole file.
    data may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.

    Returns defragment_mp4(data) when that succeeds and
    reset_mp4_timestamps(data) otherwise, as new bytes.
    Raises TypeError if data is not a C-contiguous buffer; ValueError with
    the message of reset_mp4_timestamps if both fail; MemoryError (saying
    how many bytes were asked for) when memory runs out, RuntimeError on an
    internal error.
    """

def mux_fmp4_tracks(video: Buffer, audio: Buffer) -> bytes:
    """Merge two MP4 files, fragmented or regular, into one regular MP4.

    video and audio are whole files, typically a video-only and an
    audio-only fMP4. The result holds the tracks of both, those of video
    first; a track ID the first file already uses is renumbered.
    Fragmented tracks keep their offsets from the earliest.
    Each may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.

    Returns the MP4 as new bytes.
    Raises TypeError if an argument is not a C-contiguous buffer; ValueError
    if a file is malformed, repeats a track ID or neither has a track;
    MemoryError (saying how many bytes were asked for) when memory runs out,
    RuntimeError on an internal error.
    """

def extract_thumbnail_from_ts(data: Buffer, *, report: Callable[[str], object] | None = ...) -> bytes:
    """Extract the first key frame of a transport stream.

    data is the stream.
    data may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.
    report is taken as by convert_ts_to_mp4; reading only as far as the
    key frame, this function has no report to give.

    Returns an H.264 Annex B stream as new bytes: the first SPS and PPS,
    then every slice of the first IDR picture (both fields of a field-coded
    frame), each NAL unit behind a 00 00 00 01 start code. Of HEVC: the
    first VPS, SPS and PPS, then the first IRAP picture. Of MPEG-2 video:
    the sequence header and the first I picture.
    Raises TypeError if data is not a C-contiguous buffer or report neither
    callable nor None; ValueError if the stream has no video or no IDR
    picture; MemoryError (saying how many bytes were asked for) when memory
    runs out, RuntimeError on an internal error.
    """

def extract_thumbnail_from_mp4(data: Buffer) -> bytes:
    """Extract the first key frame of an MP4.

    data is the file. The first video track's first sync sample is taken
    (of a fragmented MP4: from its first fragments).
    data may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.

    Returns the key frame as an Annex B stream in new bytes: the parameter
    sets of the track's avcC (H.264) or hvcC (HEVC), then the sample's
    NAL units.
    Raises TypeError if data is not a C-contiguous buffer; ValueError if
    there is no video track, the tables or sample are out of bounds, the
    sample holds no picture or the track is encrypted;
    MemoryError (saying how many bytes were asked for) when memory runs out,
    RuntimeError on an internal error.
    """

@final
class FragmentedMP4Processor:
    """Rebases the decode times of a live fragmented MP4 stream, segment by
    segment, so that it starts at decode time 0.

    Give it the initialisation segment with set_init_segment(), then each
    media segment in order to process_segment(); reset() starts a new
    base. Takes no arguments. One instance serves one thread: a second
    thread entering it while it works gets RuntimeError("Already
    borrowed"). The class cannot be subclassed.
    """
    def __init__(self) -> None: ...
    def set_init_segment(self, data: Buffer) -> None:
        """Take the stream's initialisation segment (ftyp and moov).

        data is the segment, as bytes or any other C-contiguous buffer. Its
        mdhd timescales let every track move back by the same instant, so the
        offsets between tracks stay; a track whose timescale it does not give
        moves back by its own first decode time, so its offset from the others
        is lost.
        Returns None.
        Raises TypeError if data is not a C-contiguous buffer, MemoryError when
        memory runs out, RuntimeError if another thread is using the processor.
        """
    def process_segment(self, data: Buffer) -> bytes:
        """Rebase the decode times of one media segment (moof and mdat).

        data is the segment, as bytes or any other C-contiguous buffer, read in
        place during the call (rewriting it meanwhile gives an unspecified
        result, never a crash). The earliest first decode time of the tracks
        of the first segment becomes 0 and every fragment keeps its distance
        from it (see set_init_segment); sidx times move with them. All other
        bytes pass through, so the segment keeps its length and layout. A box
        cut off at the end of the segment is left out.

        Returns the rebased segment as new bytes.
        Raises TypeError if data is not a C-contiguous buffer,
        ValueError("Invalid box size") for a box smaller than its header,
        MemoryError when memory runs out, RuntimeError if another thread is
        using the processor.
        """
    def reset(self) -> None:
        """Forget the base decode time: the next tfdt seen becomes the new base.
        The initialisation segment is kept. Returns None.
        Raises RuntimeError if another thread is using the processor.
        """
    @property
    def base_decode_time(self) -> int | None:
        """The base, the first segment's earliest tfdt value (in its own track's
        timescale), as an int, or None before the first segment with a tfdt
        (read-only).
        """

def convert_ts_to_fmp4(data: Buffer, *, report: Callable[[str], object] | None = ...) -> bytes:
    """Convert an MPEG-2 transport stream to a fragmented MP4.

    data is the whole stream, read as convert_ts_to_mp4 reads it. The
    result is an initialisation segment (ftyp, and a moov whose mvex holds
    a trex per track), then one moof/mdat fragment per video group of
    pictures with the audio of the same span, on a timeline that starts
    at 0. It holds the video and the first audio stream (as a CMAF track
    and an MSE SourceBuffer take them).
    data may be bytes or any other C-contiguous buffer (bytearray,
    memoryview, mmap, a numpy uint8 array). It is read in place and held
    for the call; if another thread rewrites its bytes meanwhile, the
    result is unspecified or a ValueError, never a crash.
    report: left out, the demultiplexer's report is printed to sys.stdout;
    None prints nothing; a callable receives it as one str, for example
    logging.getLogger("morvex").info. A call that fails reports nothing.

    Returns the fragmented MP4 as new bytes.
    Raises TypeError if data is not a C-contiguous buffer or report neither
    callable nor None; ValueError if the stream has no TS sync byte, or
    neither video nor audio; what the report callable raises; MemoryError
    (saying how many bytes were asked for) when memory runs out,
    RuntimeError on an internal error.
    """

@final
class TransportStreamTransmuxer:
    """Turns a live MPEG-2 transport stream (H.264, HEVC or MPEG-2 video; AAC,
    MPEG, AC-3 or E-AC-3 audio), segment by segment, into fragmented MP4:
    one initialisation segment, then one moof/mdat fragment per group of
    pictures. It reads the stream as convert_ts_to_fmp4 does, and its
    outputs joined are that function's result.

    Give it each segment in order to push(); flush() writes what remains,
    reset() starts a new stream. The timeline starts at 0 with the offset
    between audio and video of the source, and goes on across segments,
    timestamp jumps and programme changes. Takes no arguments. One
    instance serves one thread: a second thread entering it while it works
    gets RuntimeError("Already borrowed"). The class cannot be subclassed.
    """
    def __init__(self) -> None: ...
    def push(self, segment: Buffer, *, end_of_segment: bool = False,
             report: Callable[[str], object] | None = ...) -> bytes:
        """Take the next segment of a live MPEG-2 transport stream.

        segment is the next bytes of the stream (an HLS segment, or any piece),
        as bytes or any other C-contiguous buffer, read in place during the
        call (rewriting it meanwhile gives an unspecified result, never a
        crash). A PES or picture split between two segments is read whole once
        both have arrived. A fragment is complete once the next group of
        pictures (from a key picture, or after ten seconds without one) has
        begun. end_of_segment=True says the bytes end at a boundary the caller
        knows (an HLS segment's end): all they hold is written now, as by
        flush(), and the next push goes on on the same timeline.
        report is taken as by convert_ts_to_mp4 (left out: sys.stdout; None:
        nowhere; a callable); the transmuxer gives no report of its own.

        Returns the fragments (moof/mdat) complete so far as new bytes, after
        the initialisation segment on the first output once that is known;
        b"" when nothing is complete yet.
        Raises TypeError if segment is not a C-contiguous buffer, ValueError if
        the stream has no TS sync byte, MemoryError (saying how many bytes were
        asked for) when memory runs out, RuntimeError if another thread is
        using the transmuxer.
        """
    def flush(self, *, report: Callable[[str], object] | None = ...) -> bytes:
        """Write what is pending: the last group of pictures and its audio.

        report is taken as by push().
        Returns the fragments as new bytes (b"" when nothing is pending),
        after the initialisation segment if it was not returned yet. Later
        pushes go on on the same tracks and timeline.
        Raises MemoryError when memory runs out, RuntimeError if another
        thread is using the transmuxer.
        """
    def reset(self) -> None:
        """Forget the stream: pending bytes, tables, timeline and initialisation
        segment. The next push starts a new stream. Returns None.
        Raises RuntimeError if another thread is using the transmuxer.
        """
    @property
    def init_segment(self) -> bytes | None:
        """The initialisation segment (ftyp and moov) as bytes, or None before
        the stream's tables and first pictures have arrived (read-only).
        """

def _write_file(name: str, inputs: list[str], fd: int, *, progress: Callable[[str, int, int], object] | None = None,
                report: Callable[[str], object] | None = ..., start: float = 0.0, end: float | None = None,
                exact: bool = False) -> int:
    """Write the output of the module function `name` on the input files into
    the open file `fd` (morvex.write_file is the public face).
    """

def probe(data: Buffer) -> Probe:
    """Tell what a transport stream, a regular MP4 or a fragmented MP4 holds.

    data is the whole input, as bytes or any other C-contiguous buffer.
    An MP4 is read from its boxes only; a transport stream in one pass.

    Returns a dict: "format" ("mpegts", "mp4" or "fmp4"), "duration"
    (seconds from the first sample shown of any track to the end of the
    last) and "tracks", one dict per video and audio track with "id"
    (track_ID, or the PID), "kind" ("video" or "audio"), "codec"
    (FFmpeg's name: "h264", "hevc", "aac", ...), "codec_string" (RFC
    6381, as MSE and HLS take it: "avc1.64001f", "mp4a.40.2", ...),
    "start_time" (seconds: the first sample shown, edit lists applied; of
    a transport stream, its PTS), "duration", "frames", "key_frames",
    "bitrate" (bits a second); of video "width", "height" and
    "frame_rate" (on average), of audio "sample_rate" and "channels";
    and "language" where the file names one.
    Raises TypeError if data is not a C-contiguous buffer; ValueError for
    input that no reader takes (garbage, nothing, an MP4 whose moov is cut
    off); MemoryError (saying how many bytes were asked for) when memory
    runs out, RuntimeError on an internal error.
    """

def clip(data: Buffer, start: float, end: float | None = None, *, exact: bool = False) -> bytes:
    """Cut a time range out of a transport stream or an MP4, without
    re-encoding.

    data is the whole input, as bytes or any other C-contiguous buffer.
    start and end are seconds of the presentation as a player shows it: 0
    is the first sample the input shows; end None is the end. The clip
    starts at the last key frame at or before start (nothing before it is
    needed to decode) and ends with the last picture that begins before
    end; the audio covers the same span, and the offset between audio and
    video of the source is kept. With exact=True the file still begins
    with that key frame's group of pictures, but edit lists hide what comes
    before start, so players show the picture on screen at start first and
    the presentation lasts end - start: the hidden pictures are still in
    the file, and a player that ignores edit lists shows them.

    Returns a regular MP4, whose timeline starts at 0, as new bytes.
    Raises TypeError if data is not a C-contiguous buffer or start or end
    not a number; ValueError if start < 0, end <= start, start lies at or
    past the end, or no reader takes the input; MemoryError (saying how
    many bytes were asked for) when memory runs out, RuntimeError on an
    internal error.
    """

def concat(parts: Sequence[Buffer]) -> bytes:
    """Join recordings or segments one after the other, without re-encoding.

    parts is a sequence of inputs, each a transport stream, a regular MP4
    or a fragmented MP4 (kinds may be mixed), as bytes or any other
    C-contiguous buffer, with the same codecs. Whatever their timestamps
    say, each part follows the one before on one timeline: its first
    picture comes one frame after the last one's last picture, and its
    audio keeps its offset to its video (frames that would overlap the
    audio before are dropped whole, and a gap stays a gap). A part whose
    parameter sets differ (a resolution change, an encoder restart) gets a
    sample entry of its own, so that every picture decodes.

    Returns a regular MP4 as new bytes.
    Raises TypeError if parts is not a sequence of C-contiguous buffers;
    ValueError for an empty list, parts with different codecs (naming the
    part's index and both codecs) or a part no reader takes (the reader's
    message behind "Part N: "); MemoryError (saying how many bytes were
    asked for) when memory runs out, RuntimeError on an internal error.
    """

def package_cmaf(data: Buffer, segment_duration: float = 6.0, *, byte_range: bool = False) -> dict[str, bytes]:
    """Package a transport stream or an MP4 for HLS and DASH, without
    re-encoding: CMAF tracks, their playlists and their manifest.

    data is the whole input, as bytes or any other C-contiguous buffer.
    Each video and audio track becomes a CMAF track in a folder of its own
    ("video/", "audio/", "audio_2/" ...): init.mp4 (ftyp with the CMAF
    brands, moov with mvex) and seg1.m4s, seg2.m4s ... (styp, moof, mdat).
    A video segment starts at a key frame: a new one at the first key
    frame at or after each multiple of segment_duration (seconds); audio
    segments end where the video segments do, at the nearest audio frame.
    All tracks keep their places on one timeline (tfdt), starting at 0.
    master.m3u8 and each folder's index.m3u8 are the HLS playlists (RFC
    8216, version 7, VOD); manifest.mpd is a static DASH manifest (live
    and CMAF profiles, SegmentTemplate with a SegmentTimeline). With
    byte_range=True each track is one media file, media.mp4 (the init, a
    segment index, then the segments), addressed by EXT-X-BYTERANGE and by
    a DASH SegmentBase (on-demand and CMAF profiles).

    Returns a dict of each file's path (relative to the tree's root, with
    "/") to its contents as bytes.
    Raises TypeError if data is not a C-contiguous buffer or
    segment_duration not a number; ValueError if segment_duration <= 0,
    for input that no reader takes, and for input without video or audio;
    MemoryError (saying how many bytes were asked for) when memory runs
    out, RuntimeError on an internal error.
    """

def recover_mp4(data: Buffer, reference: Buffer | None = None) -> bytes:
    """Recover a recording that was cut short, as a regular MP4.

    data is the whole file as the recorder left it:
    - a fragmented MP4 cut anywhere: every sample whose bytes are all
      there comes back, those of the fragment it ends in too;
    - a regular MP4 whose moov is missing, and whose mdat may be cut
      anywhere and have a size of 0 or a wrong one: its H.264 or HEVC
      pictures (runs of length-prefixed NAL units, one picture each)
      and AAC frames are found by their bytes. Pictures are shown in the
      order of their picture order counts (B-frames present right), the
      IDR (HEVC: IRAP) pictures are the key frames, each picture lasts the
      reference's frame duration and each AAC frame 1024 samples, and
      video and audio start together;
    - a healthy MP4, which comes back with every sample.
    reference is a healthy MP4 from the same recorder, with the same
    codecs and settings, whose sample descriptions (and movie box) the
    recovered file takes; None: a file without moov is recovered from
    the parameter sets its video carries in-band (its video only).
    data and reference may be bytes or any other C-contiguous buffer
    (bytearray, memoryview, mmap, a numpy uint8 array). They are read in
    place and held for the call; if another thread rewrites their bytes
    meanwhile, the result is unspecified or a ValueError, never a crash.

    Returns the MP4 as new bytes.
    Raises TypeError if data is not a C-contiguous buffer, or reference
    neither one nor None; ValueError if nothing can be recovered (empty or
    garbage input), if the moov is missing and the video carries no
    parameter sets (the message says a reference file is needed), or if
    the reference has no moov or no H.264, HEVC or AAC track;
    MemoryError (saying how many bytes were asked for) when memory runs out,
    RuntimeError on an internal error.
    """
