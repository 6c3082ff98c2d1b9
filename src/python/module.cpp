// The extension module `morvex._morvex`: multi-phase initialisation, no
// module state, one function per core entry.
#include "python/call_frame.h"
#include "python/file_job.h"
#include "python/movie_functions.h"
#include "python/processor_type.h"
#include "python/transmuxer_type.h"

#include <string>
#include <type_traits>
#include <utility>

#include "roads/mp4_roads.h"
#include "roads/thumbnails.h"
#include "roads/ts_to_fmp4.h"
#include "roads/ts_to_mp4.h"

namespace morvex::python {
namespace {

// The package's version, which CMake reads from pyproject.toml.
constexpr const char* kVersion = MORVEX_VERSION;

PyObject* convert_ts_to_mp4_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "reset_timestamps", "report", nullptr};
    PyObject* data = nullptr;
    PyObject* flag = nullptr;
    PyObject* report_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:convert_ts_to_mp4", const_cast<char**>(keywords), &data,
                                     &flag, &report_arg))
        return nullptr;
    InputBuffer input;
    if (!input.acquire(data, "data")) return nullptr;
    // The option is accepted and changes nothing: the timeline starts at 0.
    bool reset = false;
    if (flag != nullptr && !convert_flag(flag, "reset_timestamps", &reset)) return nullptr;
    ReportSink sink;
    if (!convert_report(report_arg, &sink)) return nullptr;
    std::string report;
    return run_planned([&, in = input.span()] { return plan_convert_ts_to_mp4(in, report); }, &report, sink);
}

// The shape shared by the functions that take one `data` argument; those
// of the transport stream (`Core` takes a report) also take `report`.
template <auto Core>
PyObject* one_input(PyObject* args, PyObject* kwargs, const char* format) {
    constexpr bool reports = std::is_invocable_v<decltype(Core), ByteSpan, std::string&>;
    static const char* keywords[] = {"data", reports ? "report" : nullptr, nullptr};
    PyObject* data = nullptr;
    PyObject* report_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &data, &report_arg))
        return nullptr;
    InputBuffer input;
    if (!input.acquire(data, "data")) return nullptr;
    if constexpr (reports) {
        ReportSink sink;
        if (!convert_report(report_arg, &sink)) return nullptr;
        std::string report;
        return run_planned([&, in = input.span()] { return Core(in, report); }, &report, sink);
    } else {
        return run_planned([in = input.span()] { return Core(in); });
    }
}

// Roads whose output is small and made in a buffer of its own.
template <Result<Bytes> (*Core)(ByteSpan)>
Result<PlannedOutput> planned(ByteSpan data) {
    return PlannedOutput::of(MORVEX_TRY(Core(data)));
}

// The key frame of a transport stream has no report of its own; it takes
// the keyword as the other transport stream functions do.
Result<PlannedOutput> thumbnail_from_ts(ByteSpan data, std::string&) {
    return PlannedOutput::of(MORVEX_TRY(extract_thumbnail_from_ts(data)));
}

PyObject* convert_ts_to_fmp4_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return one_input<plan_convert_ts_to_fmp4>(args, kwargs, "O|$O:convert_ts_to_fmp4");
}
PyObject* defragment_mp4_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return one_input<plan_defragment_mp4>(args, kwargs, "O:defragment_mp4");
}
PyObject* reset_mp4_timestamps_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return one_input<plan_reset_mp4_timestamps>(args, kwargs, "O:reset_mp4_timestamps");
}
PyObject* convert_mp4_reset_timestamps_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return one_input<plan_convert_mp4_reset_timestamps>(args, kwargs, "O:convert_mp4_reset_timestamps");
}
PyObject* extract_thumbnail_from_ts_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return one_input<thumbnail_from_ts>(args, kwargs, "O|$O:extract_thumbnail_from_ts");
}
PyObject* extract_thumbnail_from_mp4_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return one_input<planned<extract_thumbnail_from_mp4>>(args, kwargs, "O:extract_thumbnail_from_mp4");
}

PyObject* mux_fmp4_tracks_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"video", "audio", nullptr};
    PyObject* video = nullptr;
    PyObject* audio = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:mux_fmp4_tracks", const_cast<char**>(keywords), &video,
                                     &audio))
        return nullptr;
    InputBuffer v, a;
    if (!v.acquire(video, "video") || !a.acquire(audio, "audio")) return nullptr;
    return run_planned([vs = v.span(), as = a.span()] { return plan_mux_fmp4_tracks(vs, as); });
}

#define MORVEX_FUNCTION(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name##_py)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef functions[] = {
    MORVEX_FUNCTION(convert_ts_to_mp4,
                    "convert_ts_to_mp4(data, reset_timestamps=False, *, report=...)\n"
                    "--\n"
                    "\n"
                    "Convert an MPEG-2 transport stream to a regular MP4.\n"
                    "\n"
                    "data is the whole stream. The first programme with video (or, without\n"
                    "any, with audio) is read: its first H.264, HEVC or MPEG-2 video stream\n"
                    "and every audio stream holding AAC (ADTS or LATM), MPEG audio, AC-3 or\n"
                    "E-AC-3 become the tracks of an MP4 made of ftyp, moov and one mdat, on\n"
                    "a timeline that starts at 0 (at the first random access picture: IDR,\n"
                    "recovery point, HEVC IRAP, MPEG-2 I picture). Streams a new PMT adds\n"
                    "become tracks from where they appear.\n"
                    "data may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "reset_timestamps is a bool accepted for compatibility; it changes\n"
                    "nothing.\n"
                    "report: left out, the demultiplexer's report is printed to sys.stdout;\n"
                    "None prints nothing; a callable receives it as one str, for example\n"
                    "logging.getLogger(\"morvex\").info. A call that fails reports nothing.\n"
                    "\n"
                    "Returns the MP4 as new bytes.\n"
                    "Raises TypeError if data is not a C-contiguous buffer, reset_timestamps\n"
                    "not a bool or report neither callable nor None; ValueError if the stream\n"
                    "has no TS sync byte, or neither video nor audio; what the report\n"
                    "callable raises;\n"
                    "MemoryError (saying how many bytes were asked for) when memory runs out,\n"
                    "RuntimeError on an internal error."),
    MORVEX_FUNCTION(defragment_mp4,
                    "defragment_mp4(data)\n"
                    "--\n"
                    "\n"
                    "Turn a fragmented MP4 into a regular MP4.\n"
                    "\n"
                    "data is the whole file: an initialisation moov followed by moof/mdat\n"
                    "fragments. The result has ftyp, a moov with complete sample tables\n"
                    "and no mvex, and one mdat. Each track keeps its offset from the\n"
                    "earliest and the gaps between its fragments; an encrypted track keeps\n"
                    "its IVs (senc, saiz, saio) or the call fails.\n"
                    "data may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "\n"
                    "Returns the MP4 as new bytes.\n"
                    "Raises TypeError if data is not a C-contiguous buffer; ValueError if it\n"
                    "is not a well-formed fragmented MP4 (the message names the problem);\n"
                    "MemoryError (saying how many bytes were asked for) when memory runs out,\n"
                    "RuntimeError on an internal error."),
    MORVEX_FUNCTION(reset_mp4_timestamps,
                    "reset_mp4_timestamps(data)\n"
                    "--\n"
                    "\n"
                    "Rebase the timestamps of an MP4 so that it starts at 0.\n"
                    "\n"
                    "data is the whole file. Every track's fragment decode times (tfdt)\n"
                    "move back by one instant, so the earliest track starts at 0 and the\n"
                    "others keep their offset (samples the moov holds come first); a\n"
                    "regular file whose tracks all start after an empty edit loses the\n"
                    "common delay. The creation and modification times of mvhd, tkhd and\n"
                    "mdhd are cleared and their durations set from the fragments. Only\n"
                    "field values change; every box keeps its size and position.\n"
                    "data may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "\n"
                    "Returns the rewritten MP4 as new bytes.\n"
                    "Raises TypeError if data is not a C-contiguous buffer; ValueError if the\n"
                    "boxes are malformed (the message names the problem); MemoryError (saying\n"
                    "how many bytes were asked for) when memory runs out, RuntimeError on an\n"
                    "internal error."),
    MORVEX_FUNCTION(convert_mp4_reset_timestamps,
                    "convert_mp4_reset_timestamps(data)\n"
                    "--\n"
                    "\n"
                    "Defragment a fragmented MP4, or else reset its timestamps.\n"
                    "\n"
                    "data is the whole file.\n"
                    "data may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "\n"
                    "Returns defragment_mp4(data) when that succeeds and\n"
                    "reset_mp4_timestamps(data) otherwise, as new bytes.\n"
                    "Raises TypeError if data is not a C-contiguous buffer; ValueError with\n"
                    "the message of reset_mp4_timestamps if both fail; MemoryError (saying\n"
                    "how many bytes were asked for) when memory runs out, RuntimeError on an\n"
                    "internal error."),
    MORVEX_FUNCTION(mux_fmp4_tracks,
                    "mux_fmp4_tracks(video, audio)\n"
                    "--\n"
                    "\n"
                    "Merge two MP4 files, fragmented or regular, into one regular MP4.\n"
                    "\n"
                    "video and audio are whole files, typically a video-only and an\n"
                    "audio-only fMP4. The result holds the tracks of both, those of video\n"
                    "first; a track ID the first file already uses is renumbered.\n"
                    "Fragmented tracks keep their offsets from the earliest.\n"
                    "Each may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "\n"
                    "Returns the MP4 as new bytes.\n"
                    "Raises TypeError if an argument is not a C-contiguous buffer; ValueError\n"
                    "if a file is malformed, repeats a track ID or neither has a track;\n"
                    "MemoryError (saying how many bytes were asked for) when memory runs out,\n"
                    "RuntimeError on an internal error."),
    MORVEX_FUNCTION(extract_thumbnail_from_ts,
                    "extract_thumbnail_from_ts(data, *, report=...)\n"
                    "--\n"
                    "\n"
                    "Extract the first key frame of a transport stream.\n"
                    "\n"
                    "data is the stream.\n"
                    "data may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "report is taken as by convert_ts_to_mp4; reading only as far as the\n"
                    "key frame, this function has no report to give.\n"
                    "\n"
                    "Returns an H.264 Annex B stream as new bytes: the first SPS and PPS,\n"
                    "then every slice of the first IDR picture (both fields of a field-coded\n"
                    "frame), each NAL unit behind a 00 00 00 01 start code. Of HEVC: the\n"
                    "first VPS, SPS and PPS, then the first IRAP picture. Of MPEG-2 video:\n"
                    "the sequence header and the first I picture.\n"
                    "Raises TypeError if data is not a C-contiguous buffer or report neither\n"
                    "callable nor None; ValueError if the stream has no video or no IDR\n"
                    "picture; MemoryError (saying how many bytes were asked for) when memory\n"
                    "runs out, RuntimeError on an internal error."),
    MORVEX_FUNCTION(extract_thumbnail_from_mp4,
                    "extract_thumbnail_from_mp4(data)\n"
                    "--\n"
                    "\n"
                    "Extract the first key frame of an MP4.\n"
                    "\n"
                    "data is the file. The first video track's first sync sample is taken\n"
                    "(of a fragmented MP4: from its first fragments).\n"
                    "data may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "\n"
                    "Returns the key frame as an Annex B stream in new bytes: the parameter\n"
                    "sets of the track's avcC (H.264) or hvcC (HEVC), then the sample's\n"
                    "NAL units.\n"
                    "Raises TypeError if data is not a C-contiguous buffer; ValueError if\n"
                    "there is no video track, the tables or sample are out of bounds, the\n"
                    "sample holds no picture or the track is encrypted;\n"
                    "MemoryError (saying how many bytes were asked for) when memory runs out,\n"
                    "RuntimeError on an internal error."),
    {nullptr, nullptr, 0, nullptr},
};

// Functions added after the classes above, so that __all__ keeps the order
// in which the names were first published.
PyMethodDef later_functions[] = {
    MORVEX_FUNCTION(convert_ts_to_fmp4,
                    "convert_ts_to_fmp4(data, *, report=...)\n"
                    "--\n"
                    "\n"
                    "Convert an MPEG-2 transport stream to a fragmented MP4.\n"
                    "\n"
                    "data is the whole stream, read as convert_ts_to_mp4 reads it. The\n"
                    "result is an initialisation segment (ftyp, and a moov whose mvex holds\n"
                    "a trex per track), then one moof/mdat fragment per video group of\n"
                    "pictures with the audio of the same span, on a timeline that starts\n"
                    "at 0. It holds the video and the first audio stream (as a CMAF track\n"
                    "and an MSE SourceBuffer take them).\n"
                    "data may be bytes or any other C-contiguous buffer (bytearray,\n"
                    "memoryview, mmap, a numpy uint8 array). It is read in place and held\n"
                    "for the call; if another thread rewrites its bytes meanwhile, the\n"
                    "result is unspecified or a ValueError, never a crash.\n"
                    "report: left out, the demultiplexer's report is printed to sys.stdout;\n"
                    "None prints nothing; a callable receives it as one str, for example\n"
                    "logging.getLogger(\"morvex\").info. A call that fails reports nothing.\n"
                    "\n"
                    "Returns the fragmented MP4 as new bytes.\n"
                    "Raises TypeError if data is not a C-contiguous buffer or report neither\n"
                    "callable nor None; ValueError if the stream has no TS sync byte, or\n"
                    "neither video nor audio; what the report callable raises; MemoryError\n"
                    "(saying how many bytes were asked for) when memory runs out,\n"
                    "RuntimeError on an internal error."),
    {nullptr, nullptr, 0, nullptr},
};

// Adds `value` under `name` and appends the name to __all__, creating the
// list on the first addition. Steals the reference to `value`.
int add_public(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return -1;
        Py_INCREF(all);
        if (PyModule_AddObject(module, "__all__", all) < 0) {
            Py_DECREF(all);
            Py_DECREF(all);
            return -1;
        }
    }
    PyObject* entry = PyUnicode_FromString(name);
    int rc = entry == nullptr ? -1 : PyList_Append(all, entry);
    Py_XDECREF(entry);
    Py_DECREF(all);
    return rc;
}

int add_functions(PyObject* module, PyMethodDef* defs) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    for (PyMethodDef* def = defs; def->ml_name != nullptr; ++def) {
        if (add_public(module, def->ml_name, PyCFunction_NewEx(def, module, module_name)) < 0) {
            Py_DECREF(module_name);
            return -1;
        }
    }
    Py_DECREF(module_name);
    return 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "expected a module object");
        return -1;
    }
    if (add_public(module, "__version__", PyUnicode_FromString(kVersion)) < 0) return -1;
    if (add_functions(module, functions) < 0) return -1;
    PyObject* processor_type = create_processor_type(module);
    if (processor_type == nullptr) {
        if (PyErr_Occurred()) return -1;
    } else if (add_public(module, "FragmentedMP4Processor", processor_type) < 0) {
        return -1;
    }
    if (add_functions(module, later_functions) < 0) return -1;
    if (PyModule_AddFunctions(module, file_functions) < 0) return -1;
    if (add_public(module, "TransportStreamTransmuxer", create_transmuxer_type(module)) < 0) return -1;
    return add_functions(module, movie_functions);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_morvex",
    "In-memory conversion and repair of video containers (the compiled core of\n"
    "the morvex package).\n\n"
    "Every function takes bytes (or any C-contiguous buffer, read in place)\n"
    "and returns new bytes, and releases the interpreter lock while it works,\n"
    "so threads convert in parallel.",
    0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morvex::python

PyMODINIT_FUNC PyInit__morvex(void) { return PyModuleDef_Init(&morvex::python::module_def); }
