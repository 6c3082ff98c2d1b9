"""The module surface and the call frame shared by every function: names,
docstrings, argument binding, argument conversion, errors, threads and the
demultiplexer's report (sys.stdout, none, or a callable)."""

import inspect
import io
import re
from concurrent.futures import ThreadPoolExecutor
from contextlib import redirect_stdout
from pathlib import Path

import numpy
import pytest

import morvex
import morvex._morvex as m
from toolkit import FIXTURES, h264, ts

PUBLIC = [
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
FUNCTIONS = PUBLIC[1:8] + PUBLIC[9:10] + PUBLIC[11:]

# name, text signature, the exceptions its docstring must name
DOCS = [
    ("convert_ts_to_mp4", "(data, reset_timestamps=False, *, report=Ellipsis)",
     ["TypeError", "ValueError", "MemoryError"]),
    ("defragment_mp4", "(data)", ["TypeError", "ValueError", "MemoryError"]),
    ("reset_mp4_timestamps", "(data)", ["TypeError", "ValueError", "MemoryError"]),
    ("convert_mp4_reset_timestamps", "(data)", ["TypeError", "ValueError", "MemoryError"]),
    ("mux_fmp4_tracks", "(video, audio)", ["TypeError", "ValueError", "MemoryError"]),
    ("extract_thumbnail_from_ts", "(data, *, report=Ellipsis)", ["TypeError", "ValueError", "MemoryError"]),
    ("extract_thumbnail_from_mp4", "(data)", ["TypeError", "ValueError", "MemoryError"]),
    ("convert_ts_to_fmp4", "(data, *, report=Ellipsis)", ["TypeError", "ValueError", "MemoryError"]),
    ("probe", "(data)", ["TypeError", "ValueError", "MemoryError"]),
    ("clip", "(data, start, end=None, *, exact=False)", ["TypeError", "ValueError", "MemoryError"]),
    ("concat", "(parts)", ["TypeError", "ValueError", "MemoryError"]),
    ("package_cmaf", "(data, segment_duration=6.0, *, byte_range=False)", ["TypeError", "ValueError", "MemoryError"]),
    ("recover_mp4", "(data, reference=None)", ["TypeError", "ValueError", "MemoryError"]),
]

def small_ts(frames: int = 3, *, pts0: int = 90000, audio: bool = True) -> bytes:
    """A short stream the converter accepts: AUD, SPS, PPS and a slice per
    video PES, two ADTS frames per audio PES."""
    streams = [ts.Stream(ts.H264, 256)] + ([ts.Stream(ts.AAC_ADTS, 257)] if audio else [])
    w = ts.TsWriter().pat({1: 0x1000}).pmt(0x1000, streams)
    for n in range(frames):
        au = h264.annexb(h264.aud(), h264.sps(), h264.pps(), h264.slice_nal(idr=n == 0))
        w.pes(256, ts.VIDEO_STREAM_ID, au, pts=pts0 + 3600 * n, dts=pts0 + 3600 * n)
        if audio:
            w.pes(257, ts.AUDIO_STREAM_ID, ts.adts_frame(b"\x21" * 40) * 2, pts=pts0 + 3840 * n)
    return w.bytes()


def ts_source() -> bytes:
    fixture = FIXTURES / "bframes_48k_stereo.ts"
    return fixture.read_bytes() if fixture.exists() else small_ts(25)


def check_type_error(excinfo, message: str, param: str) -> None:
    assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{param}'"]


# --- names, version, docstrings ------------------------------------------------

def test_version_is_the_package_metadata():
    # pyproject.toml holds it; the build reads it from there.
    pyproject = (Path(__file__).parent.parent / "pyproject.toml").read_text()
    version = re.search(r'^version\s*=\s*"([^"]+)"', pyproject, re.M).group(1)
    assert m.__version__ == version
    assert type(m.__version__) is str


def test_module_identity():
    assert m.__name__ == "morvex._morvex"
    assert m.__doc__.isascii() and "bytes" in m.__doc__
    assert Path(m.__file__).name == "_morvex.abi3.so"
    # The package re-exports the extension's surface unchanged, and adds the
    # road from files to a file.
    assert morvex.__all__ == m.__all__ + ["write_file", "Probe", "ProbeTrack"]
    for name in m.__all__:
        assert getattr(morvex, name) is getattr(m, name)


def test_all_lists_the_public_names_in_order():
    assert m.__all__ == PUBLIC
    assert all(hasattr(m, name) for name in m.__all__)


def check_doc(doc, raises):
    """An English docstring that says what the call returns and raises."""
    assert doc and doc.isascii(), doc
    assert "Returns" in doc or "returns" in doc
    for exception in raises:
        assert exception in doc


@pytest.mark.parametrize("name,signature,raises", DOCS, ids=[d[0] for d in DOCS])
def test_docstring_and_text_signature(name, signature, raises):
    f = getattr(m, name)
    assert f.__text_signature__ == signature.replace("Ellipsis", "...")
    check_doc(f.__doc__, raises)
    assert str(inspect.signature(f)) == signature
    # The report, clip's exact and package_cmaf's byte_range are the keyword-only parameters.
    assert all(p.kind is (p.KEYWORD_ONLY if p.name in ("report", "exact", "byte_range") else p.POSITIONAL_OR_KEYWORD)
               for p in inspect.signature(f).parameters.values())


# class, member, text signature
MEMBERS = [
    ("FragmentedMP4Processor", "set_init_segment", "($self, data)"),
    ("FragmentedMP4Processor", "process_segment", "($self, data)"),
    ("FragmentedMP4Processor", "reset", "($self)"),
    ("TransportStreamTransmuxer", "push", "($self, segment, *, end_of_segment=False, report=...)"),
    ("TransportStreamTransmuxer", "flush", "($self, *, report=...)"),
    ("TransportStreamTransmuxer", "reset", "($self)"),
]


@pytest.mark.parametrize("cls,name,signature", MEMBERS, ids=[f"{x[0]}.{x[1]}" for x in MEMBERS])
def test_member_docstrings(cls, name, signature):
    member = getattr(getattr(m, cls), name)
    assert member.__text_signature__ == signature
    check_doc(member.__doc__, ["RuntimeError"])


def test_transmuxer_class_and_property_docstrings():
    cls = m.TransportStreamTransmuxer
    assert cls.__text_signature__ == "()"
    assert cls.__module__ == "morvex._morvex" and cls.__qualname__ == "TransportStreamTransmuxer"
    assert cls.__doc__.isascii() and "RuntimeError" in cls.__doc__
    assert cls.init_segment.__doc__.isascii() and "None" in cls.init_segment.__doc__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_processor_class_and_property_docstrings():
    cls = m.FragmentedMP4Processor
    assert cls.__text_signature__ == "()"
    assert cls.__doc__.isascii() and "RuntimeError" in cls.__doc__
    doc = cls.base_decode_time.__doc__
    assert doc.isascii() and "None" in doc


# --- argument binding ----------------------------------------------------------

# call, a word the message must name (None: the wording is the interpreter's)
BINDING = [
    ("convert_ts_to_mp4()", "data"),
    ("convert_ts_to_mp4(b'', bogus=True)", "bogus"),
    ("convert_ts_to_mp4(b'', data=b'')", "data"),
    ("convert_ts_to_mp4(b'', True, reset_timestamps=True)", None),
    ("convert_ts_to_mp4(b'', False, False)", None),
    ("convert_ts_to_mp4(reset_timestamps=True)", "data"),
    ("defragment_mp4()", "data"),
    ("defragment_mp4(b'', b'')", None),
    ("defragment_mp4(video=b'')", None),
    ("reset_mp4_timestamps(b'', data=b'')", None),
    ("convert_mp4_reset_timestamps(b'', b'')", None),
    ("mux_fmp4_tracks(b'')", "audio"),
    ("mux_fmp4_tracks(audio=b'')", "video"),
    ("mux_fmp4_tracks(b'', video=b'')", None),
    ("mux_fmp4_tracks(b'', b'', b'')", None),
    ("mux_fmp4_tracks(video=b'', audio=b'', data=b'')", None),
    ("extract_thumbnail_from_ts(data=b'', reset_timestamps=True)", None),
    ("extract_thumbnail_from_mp4(b'', b'')", None),
    ("extract_thumbnail_from_mp4(dat=b'')", None),
]


@pytest.mark.parametrize("call,word", BINDING, ids=[b[0] for b in BINDING])
def test_binding_errors(call, word):
    with pytest.raises(TypeError) as e:
        eval(call, {}, vars(m))
    message = str(e.value)
    assert call.split("(")[0] in message
    if word is not None:
        assert f"'{word}'" in message
    # Binding fails before any conversion, so no conversion note is attached.
    assert not getattr(e.value, "__notes__", None)


# --- conversion of bytes arguments --------------------------------------------
# (Every buffer kind against bytes: test_buffer_inputs.py.)

class BytesChild(bytes):
    pass


REFUSED = [
    ("G", "a bytes-like object is required, not 'str'"),
    (None, "a bytes-like object is required, not 'NoneType'"),
    (71, "a bytes-like object is required, not 'int'"),
    (memoryview(b"GGGG")[::2], "a C-contiguous buffer is required; the 'memoryview' is not contiguous"),
]


def calls_with(value):
    """Each function called with `value` in each of its byte parameters (the
    other one valid), positionally and by keyword."""
    for name in FUNCTIONS:
        if name == "mux_fmp4_tracks":
            yield name, "video", lambda f: f(value, b""), lambda f: f(video=value, audio=b"")
            yield name, "audio", lambda f: f(b"", value), lambda f: f(audio=value, video=b"")
        elif name == "clip":
            yield name, "data", lambda f: f(value, 0), lambda f: f(data=value, start=0)
        elif name == "concat":
            yield name, "parts[0]", lambda f: f([value]), lambda f: f(parts=[value])
        elif name == "recover_mp4":
            yield name, "data", lambda f: f(value), lambda f: f(data=value)
            if value is not None:  # no reference
                yield name, "reference", lambda f: f(b"", value), lambda f: f(reference=value, data=b"")
        else:
            yield name, "data", lambda f: f(value), lambda f: f(data=value)


@pytest.mark.parametrize("value,message", REFUSED, ids=["str", "None", "int", "strided"])
def test_refused_byte_arguments(value, message):
    for name, param, positional, keyword in calls_with(value):
        for call in (positional, keyword):
            with pytest.raises(TypeError) as e:
                call(getattr(m, name))
            check_type_error(e, message, param)


def test_the_first_refused_argument_is_named():
    with pytest.raises(TypeError) as e:
        m.mux_fmp4_tracks(audio="a", video=7)
    check_type_error(e, "a bytes-like object is required, not 'int'", "video")


def test_bytes_subclass_is_accepted():
    source = ts_source()
    assert m.convert_ts_to_mp4(BytesChild(source)) == m.convert_ts_to_mp4(source)
    fragmented = FIXTURES / "av_frag.mp4"
    if fragmented.exists():
        data = fragmented.read_bytes()
        assert m.defragment_mp4(BytesChild(data)) == m.defragment_mp4(data)
    # Every function passes a subclass on to its core (which may then refuse
    # the empty content with an error of its own, never a TypeError).
    for name, _, positional, _ in calls_with(BytesChild()):
        try:
            positional(getattr(m, name))
        except TypeError as e:
            pytest.fail(f"{name} refused a bytes subclass: {e}")
        except Exception:
            pass


def test_input_is_not_modified():
    source = ts_source()
    copy = bytes(bytearray(source))
    m.convert_ts_to_mp4(source)
    assert source == copy


# --- reset_timestamps ----------------------------------------------------------

class FakeNumpyBool:
    """Looks like a numpy boolean scalar by name and module."""

    def __init__(self, result):
        self.result = result

    def __bool__(self):
        return self.result


FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__module__ = "numpy"


class OtherBool_(FakeNumpyBool):
    pass


OtherBool_.__name__ = "bool_"
OtherBool_.__module__ = "not_numpy"

FLAG_ACCEPTED = [True, False, numpy.bool_(True), numpy.bool_(False), FakeNumpyBool(True)]


@pytest.mark.parametrize("flag", FLAG_ACCEPTED, ids=repr)
def test_flag_accepted_and_without_effect(flag):
    source = ts_source()
    plain = m.convert_ts_to_mp4(source)
    assert m.convert_ts_to_mp4(source, flag) == plain
    assert m.convert_ts_to_mp4(reset_timestamps=flag, data=source) == plain


FLAG_REFUSED = [
    (1, "'int' object is not an instance of 'bool'"),
    (0, "'int' object is not an instance of 'bool'"),
    (None, "'None' is not an instance of 'bool'"),
    ("yes", "'str' object is not an instance of 'bool'"),
    (numpy.int64(1), f"'{type(numpy.int64(1)).__name__}' object is not an instance of 'bool'"),
    (OtherBool_(True), "'bool_' object is not an instance of 'bool'"),
]


@pytest.mark.parametrize("flag,message", FLAG_REFUSED, ids=[repr(f) for f, _ in FLAG_REFUSED])
def test_flag_refused(flag, message):
    for call in (lambda: m.convert_ts_to_mp4(b"", flag), lambda: m.convert_ts_to_mp4(data=b"", reset_timestamps=flag)):
        with pytest.raises(TypeError) as e:
            call()
        check_type_error(e, message, "reset_timestamps")


def test_numpy_bool_whose_bool_is_not_a_bool():
    with pytest.raises(TypeError):
        m.convert_ts_to_mp4(b"", FakeNumpyBool(1))


def test_data_is_converted_before_the_flag():
    with pytest.raises(TypeError) as e:
        m.convert_ts_to_mp4(None, None)
    check_type_error(e, "a bytes-like object is required, not 'NoneType'", "data")


# --- errors of the core --------------------------------------------------------

@pytest.mark.parametrize("data", [b"", b"\x00" * 500, b"\xb8" * 188 * 3], ids=["empty", "zeros", "no-sync"])
def test_no_sync_byte(data):
    with pytest.raises(ValueError) as e:
        m.convert_ts_to_mp4(data)
    assert e.value.args == ("No valid TS sync byte found",)


def test_reset_fallback_keeps_the_message_of_the_reset():
    with pytest.raises(ValueError) as expected:
        m.reset_mp4_timestamps(b"")
    with pytest.raises(ValueError) as e:
        m.convert_mp4_reset_timestamps(b"")
    assert e.value.args == expected.value.args


@pytest.mark.parametrize("name,step", [("av_frag.mp4", "defragment_mp4"), ("av_regular.mp4", "reset_mp4_timestamps")])
def test_reset_conversion_takes_the_step_that_succeeds(name, step):
    path = FIXTURES / name
    if not path.exists():
        pytest.skip(f"{name} not present")
    data = path.read_bytes()
    assert m.convert_mp4_reset_timestamps(data) == getattr(m, step)(data)


def test_mux_keywords_in_any_order():
    video, audio = FIXTURES / "video_frag.mp4", FIXTURES / "audio_frag.mp4"
    if not (video.exists() and audio.exists()):
        pytest.skip("fragmented fixtures not present")
    v, a = video.read_bytes(), audio.read_bytes()
    expected = m.mux_fmp4_tracks(v, a)
    assert m.mux_fmp4_tracks(audio=a, video=v) == expected
    assert m.mux_fmp4_tracks(v, audio=a) == expected


# --- threads -------------------------------------------------------------------

def test_threads_convert_at_once_with_identical_results():
    def converts(data: bytes) -> bool:
        try:
            m.convert_ts_to_mp4(data)
            return True
        except ValueError:  # a fixture of a kind the module does not carry
            return False

    inputs = [d for d in (p.read_bytes() for p in sorted(FIXTURES.glob("*.ts"))) if converts(d)]
    inputs = inputs or [small_ts(25), small_ts(10, audio=False)]
    expected = [m.convert_ts_to_mp4(d) for d in inputs]
    jobs = inputs * 4
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(m.convert_ts_to_mp4, jobs))
    assert results == expected * 4


# --- the demultiplexer's report ------------------------------------------------

REPORTS = [
    (
        "av",
        small_ts(3, pts0=900000),
        [
            "Found PIDs - Video: 256, Audio: 257",
            "Total audio frames collected: 6",
            "Total video frames collected: 3",
            "Audio PTS range: 900000 - 907680 (10.00 - 10.09 sec)",
            "Video PTS range: 900000 - 907200 (10.00 - 10.08 sec)",
        ],
    ),
    (
        "video-only",
        small_ts(2, audio=False),
        [
            "Found PIDs - Video: 256, Audio: none",
            "Total audio frames collected: 0",
            "Total video frames collected: 2",
            "Video PTS range: 90000 - 93600 (1.00 - 1.04 sec)",
        ],
    ),
]


@pytest.mark.parametrize("data,lines", [r[1:] for r in REPORTS], ids=[r[0] for r in REPORTS])
def test_report_goes_through_sys_stdout(capfd, data, lines):
    # Printed through sys.stdout, the report follows redirect_stdout and never
    # lands in the middle of bytes the caller writes to descriptor 1 itself.
    python_stdout = io.StringIO()
    with redirect_stdout(python_stdout):
        m.convert_ts_to_mp4(data)
    assert python_stdout.getvalue().splitlines() == lines
    assert capfd.readouterr() == ("", "")
    m.convert_ts_to_mp4(data)
    out, err = capfd.readouterr()
    assert out.splitlines() == lines
    assert err == ""


def test_report_keyword_sends_it_elsewhere_or_nowhere(capfd):
    data, lines = REPORTS[0][1:]
    expected = m.convert_ts_to_mp4(data, report=None)
    assert capfd.readouterr() == ("", "")
    for call in (m.convert_ts_to_mp4, m.convert_ts_to_fmp4):
        got = []
        call(data, report=got.append)
        assert got == ["\n".join(lines)]  # one message, as logging takes it
        call(data, report=...)  # the default, spelt out
        assert capfd.readouterr().out.splitlines() == lines
    # A stream without tables fails after the demultiplexer has counted
    # nothing: a failing call reports nothing, to any sink.
    for report in (..., got.append):
        with pytest.raises(ValueError):
            m.convert_ts_to_mp4(b"\x47" + b"\x00" * 99, report=report)
    assert capfd.readouterr() == ("", "") and len(got) == 1
    # A callable that raises makes the call raise; other values are refused.
    with pytest.raises(KeyError):
        m.convert_ts_to_mp4(data, report={}.__getitem__)
    assert m.convert_ts_to_mp4(data, report=lambda text: None) == expected
    for call in (lambda r: m.convert_ts_to_mp4(data, report=r), lambda r: m.extract_thumbnail_from_ts(data, report=r),
                 lambda r: m.TransportStreamTransmuxer().push(data, report=r)):
        with pytest.raises(TypeError) as e:
            call("stdout")
        check_type_error(e, "report must be a callable or None, not 'str'", "report")
