// The extension module `morvex._morvex`: multi-phase initialisation, no
// module state, one function per core entry.
#include "python/call_frame.h"
#include "python/processor_type.h"
#include "python/transmuxer_type.h"

#include <utility>

#include "roads/mp4_roads.h"
#include "roads/thumbnails.h"
#include "roads/ts_to_fmp4.h"
#include "roads/ts_to_mp4.h"

namespace morvex::python {
namespace {

constexpr const char* kVersion = "0.4.0";

PyObject* convert_ts_to_mp4_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "reset_timestamps", nullptr};
    PyObject* data = nullptr;
    PyObject* flag = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:convert_ts_to_mp4", const_cast<char**>(keywords), &data,
                                     &flag))
        return nullptr;
    if (!check_bytes(data, "data")) return nullptr;
    // The option is accepted and changes nothing: the timeline starts at 0.
    bool reset = false;
    if (flag != nullptr && !convert_flag(flag, "reset_timestamps", &reset)) return nullptr;
    const ByteSpan input = view_bytes(data);
    std::string report;
    return run_planned([&] { return plan_convert_ts_to_mp4(input, report); }, &report);
}

PyObject* convert_ts_to_fmp4_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", nullptr};
    PyObject* data = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:convert_ts_to_fmp4", const_cast<char**>(keywords), &data))
        return nullptr;
    if (!check_bytes(data, "data")) return nullptr;
    const ByteSpan input = view_bytes(data);
    std::string report;
    return run_planned([&] { return plan_convert_ts_to_fmp4(input, report); }, &report);
}

// The shape shared by the functions that take one `data` argument.
template <Result<PlannedOutput> (*Core)(ByteSpan)>
PyObject* one_input(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"data", nullptr};
    PyObject* data = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &data)) return nullptr;
    if (!check_bytes(data, "data")) return nullptr;
    const ByteSpan input = view_bytes(data);
    return run_planned([&] { return Core(input); });
}

// Roads whose output is small and made in a buffer of its own.
template <Result<Bytes> (*Core)(ByteSpan)>
Result<PlannedOutput> planned(ByteSpan data) {
    return PlannedOutput::of(MORVEX_TRY(Core(data)));
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
    return one_input<planned<extract_thumbnail_from_ts>>(args, kwargs, "O:extract_thumbnail_from_ts");
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
    if (!check_bytes(video, "video") || !check_bytes(audio, "audio")) return nullptr;
    const ByteSpan v = view_bytes(video);
    const ByteSpan a = view_bytes(audio);
    return run_planned([&] { return plan_mux_fmp4_tracks(v, a); });
}

#define MORVEX_FUNCTION(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name##_py)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef functions[] = {
    MORVEX_FUNCTION(convert_ts_to_mp4,
                    "convert_ts_to_mp4(data, reset_timestamps=False)\n--\n\n"
                    "Convert an MPEG-2 transport stream to a regular MP4.\n\n"
                    "data is the whole stream as bytes. The first programme with video (or,\n"
                    "without any, with audio) is read: its first H.264, HEVC or MPEG-2\n"
                    "video stream and every audio stream holding AAC (ADTS or LATM), MPEG\n"
                    "audio, AC-3 or E-AC-3 become the tracks of an MP4 made of ftyp, moov\n"
                    "and one mdat, on a timeline that starts at 0 (at the first random\n"
                    "access picture: IDR, recovery point, HEVC IRAP, MPEG-2 I picture).\n"
                    "Streams a new PMT adds become tracks from where they appear.\n"
                    "reset_timestamps is a bool accepted for compatibility; it changes\n"
                    "nothing. A short report of the streams found is printed to sys.stdout.\n\n"
                    "Returns the MP4 as new bytes.\n"
                    "Raises TypeError if data is not bytes or reset_timestamps not a bool,\n"
                    "ValueError if the stream has no TS sync byte, or neither video nor\n"
                    "audio, MemoryError when memory runs out, RuntimeError on an internal\n"
                    "error."),
    MORVEX_FUNCTION(defragment_mp4,
                    "defragment_mp4(data)\n--\n\n"
                    "Turn a fragmented MP4 into a regular MP4.\n\n"
                    "data is the whole file as bytes: an initialisation moov followed by\n"
                    "moof/mdat fragments. The result has ftyp, a moov with complete sample\n"
                    "tables and no mvex, and one mdat.\n\n"
                    "Returns the MP4 as new bytes.\n"
                    "Raises TypeError if data is not bytes, ValueError if it is not a\n"
                    "well-formed fragmented MP4 (the message names the problem),\n"
                    "MemoryError when memory runs out, RuntimeError on an internal error."),
    MORVEX_FUNCTION(reset_mp4_timestamps,
                    "reset_mp4_timestamps(data)\n--\n\n"
                    "Rebase the timestamps of an MP4 so that every track starts at 0.\n\n"
                    "data is the whole file as bytes. Fragment decode times (tfdt) are\n"
                    "rebased per track, the creation and modification times of mvhd, tkhd\n"
                    "and mdhd are cleared and their durations set from the fragments. Only\n"
                    "field values change; every box keeps its size and position.\n\n"
                    "Returns the rewritten MP4 as new bytes.\n"
                    "Raises TypeError if data is not bytes, ValueError if the boxes are\n"
                    "malformed (the message names the problem), MemoryError when memory\n"
                    "runs out, RuntimeError on an internal error."),
    MORVEX_FUNCTION(convert_mp4_reset_timestamps,
                    "convert_mp4_reset_timestamps(data)\n--\n\n"
                    "Defragment a fragmented MP4, or else reset its timestamps.\n\n"
                    "data is the whole file as bytes. Returns defragment_mp4(data) when\n"
                    "that succeeds and reset_mp4_timestamps(data) otherwise, as new bytes.\n"
                    "Raises TypeError if data is not bytes, ValueError with the message of\n"
                    "reset_mp4_timestamps when both fail, MemoryError when memory runs\n"
                    "out, RuntimeError on an internal error."),
    MORVEX_FUNCTION(mux_fmp4_tracks,
                    "mux_fmp4_tracks(video, audio)\n--\n\n"
                    "Merge two fragmented MP4 files into one regular MP4.\n\n"
                    "video and audio are whole files as bytes, typically a video-only and\n"
                    "an audio-only fMP4. The result holds the tracks of both, those of\n"
                    "video first; a track ID the first file already uses is renumbered.\n\n"
                    "Returns the MP4 as new bytes.\n"
                    "Raises TypeError if an argument is not bytes, ValueError if a file is\n"
                    "malformed, repeats a track ID or neither has a track, MemoryError\n"
                    "when memory runs out, RuntimeError on an internal error."),
    MORVEX_FUNCTION(extract_thumbnail_from_ts,
                    "extract_thumbnail_from_ts(data)\n--\n\n"
                    "Extract the first key frame of a transport stream.\n\n"
                    "data is the stream as bytes. Returns an H.264 Annex B stream as new\n"
                    "bytes: the first SPS and PPS, then every slice of the first IDR\n"
                    "picture (both fields of a field-coded frame), each NAL unit behind a\n"
                    "00 00 00 01 start code. Of HEVC: the first VPS, SPS and PPS, then the\n"
                    "first IRAP picture. Of MPEG-2 video: the sequence header and the first\n"
                    "I picture.\n"
                    "Raises TypeError if data is not bytes, ValueError if the stream has\n"
                    "no video or no IDR picture, MemoryError when memory runs out,\n"
                    "RuntimeError on an internal error."),
    MORVEX_FUNCTION(extract_thumbnail_from_mp4,
                    "extract_thumbnail_from_mp4(data)\n--\n\n"
                    "Extract the first key frame of a regular MP4.\n\n"
                    "data is the file as bytes. Takes the first video track's first sync\n"
                    "sample and returns it as an Annex B stream in new bytes: the\n"
                    "parameter sets of the track's avcC (H.264) or hvcC (HEVC), then the\n"
                    "sample's NAL units.\n"
                    "Raises TypeError if data is not bytes, ValueError if there is no\n"
                    "video track or the tables or sample are out of bounds, MemoryError\n"
                    "when memory runs out, RuntimeError on an internal error."),
    {nullptr, nullptr, 0, nullptr},
};

// Functions added after the classes above, so that __all__ keeps the order
// in which the names were first published.
PyMethodDef later_functions[] = {
    MORVEX_FUNCTION(convert_ts_to_fmp4,
                    "convert_ts_to_fmp4(data)\n--\n\n"
                    "Convert an MPEG-2 transport stream to a fragmented MP4.\n\n"
                    "data is the whole stream as bytes, read as convert_ts_to_mp4 reads it.\n"
                    "The result is an initialisation segment (ftyp, and a moov whose mvex\n"
                    "holds a trex per track), then one moof/mdat fragment per video group\n"
                    "of pictures with the audio of the same span, on a timeline that\n"
                    "starts at 0. It holds the video and the first audio stream (as a CMAF\n"
                    "track and an MSE SourceBuffer take them). A short report of the\n"
                    "streams found is printed to sys.stdout.\n\n"
                    "Returns the fragmented MP4 as new bytes.\n"
                    "Raises TypeError if data is not bytes, ValueError if the stream has\n"
                    "no TS sync byte, or neither video nor audio, MemoryError when memory\n"
                    "runs out, RuntimeError on an internal error."),
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
    return add_public(module, "TransportStreamTransmuxer", create_transmuxer_type(module));
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
    "Every function takes bytes and returns new bytes, and releases the\n"
    "interpreter lock while it works, so threads convert in parallel.",
    0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morvex::python

PyMODINIT_FUNC PyInit__morvex(void) { return PyModuleDef_Init(&morvex::python::module_def); }
