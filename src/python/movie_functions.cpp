// probe(data) -> dict, clip(data, start, end=None, *, exact=False) -> bytes,
// concat(parts) -> bytes, package_cmaf(data, segment_duration=6.0, *,
// byte_range=False) -> dict.
#include "python/movie_functions.h"

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "python/call_frame.h"
#include "roads/edit_roads.h"
#include "roads/package.h"
#include "roads/probe.h"

namespace morvex::python {
namespace {

// Sets d[key] = value (a new reference, which is released); false on error.
bool put(PyObject* d, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(d, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* track_dict(const TrackFacts& t) {
    PyObject* d = PyDict_New();
    if (d == nullptr) return nullptr;
    const StreamDescription& s = t.stream;
    bool ok = put(d, "id", PyLong_FromUnsignedLong(t.id)) &&
              put(d, "kind", PyUnicode_FromString(t.video ? "video" : "audio")) &&
              put(d, "codec", PyUnicode_FromString(s.codec.c_str())) &&
              put(d, "codec_string", PyUnicode_FromString(s.codec_string.c_str())) &&
              put(d, "start_time", PyFloat_FromDouble(t.start_time)) &&
              put(d, "duration", PyFloat_FromDouble(t.duration)) &&
              put(d, "frames", PyLong_FromUnsignedLongLong(t.frames)) &&
              put(d, "key_frames", PyLong_FromUnsignedLongLong(t.key_frames)) &&
              put(d, "bitrate", PyFloat_FromDouble(std::round(t.bitrate)));
    if (ok && t.video)
        ok = put(d, "width", PyLong_FromLong(s.width)) && put(d, "height", PyLong_FromLong(s.height)) &&
             put(d, "frame_rate", PyFloat_FromDouble(t.frame_rate));
    if (ok && !t.video)
        ok = put(d, "sample_rate", PyLong_FromUnsignedLong(s.sample_rate)) &&
             put(d, "channels", PyLong_FromLong(s.channels));
    if (ok && !s.language.empty()) ok = put(d, "language", PyUnicode_FromString(s.language.c_str()));
    if (!ok) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

PyObject* facts_dict(const MovieFacts& facts) {
    PyObject* d = PyDict_New();
    PyObject* tracks = PyList_New(0);
    bool ok = d != nullptr && tracks != nullptr;
    for (size_t k = 0; ok && k < facts.tracks.size(); ++k) {
        PyObject* t = track_dict(facts.tracks[k]);
        ok = t != nullptr && PyList_Append(tracks, t) == 0;
        Py_XDECREF(t);
    }
    ok = ok && put(d, "format", PyUnicode_FromString(facts.format.c_str())) &&
         put(d, "duration", PyFloat_FromDouble(facts.duration));
    if (ok) {
        Py_INCREF(tracks);
        ok = put(d, "tracks", tracks);
    }
    Py_XDECREF(tracks);
    if (!ok) {
        Py_XDECREF(d);
        return nullptr;
    }
    return d;
}

PyObject* probe_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", nullptr};
    PyObject* data = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:probe", const_cast<char**>(keywords), &data)) return nullptr;
    InputBuffer input;
    if (!input.acquire(data, "data")) return nullptr;
    Result<MovieFacts> facts;
    std::string report;
    if (!run_released([&, in = input.span()] { facts = probe(in, report); })) return nullptr;
    if (!facts) {
        raise_error(facts.error());
        return nullptr;
    }
    return facts_dict(*facts);
}

// A time in seconds: an int or a float, finite.
bool convert_seconds(PyObject* arg, const char* param, double* out) {
    if (!PyLong_Check(arg) && !PyFloat_Check(arg)) {
        raise_wrong_type(arg, "float", param);
        return false;
    }
    *out = PyFloat_AsDouble(arg);
    if (*out == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(*out)) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number of seconds", param);
        return false;
    }
    return true;
}

PyObject* clip_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "start", "end", "exact", nullptr};
    PyObject* data = nullptr;
    PyObject* start_arg = nullptr;
    PyObject* end_arg = Py_None;
    PyObject* exact_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$O:clip", const_cast<char**>(keywords), &data, &start_arg,
                                     &end_arg, &exact_arg))
        return nullptr;
    InputBuffer input;
    if (!input.acquire(data, "data")) return nullptr;
    ClipRange range;
    if (!convert_seconds(start_arg, "start", &range.start)) return nullptr;
    if (end_arg != Py_None) {
        double end = 0;
        if (!convert_seconds(end_arg, "end", &end)) return nullptr;
        range.end = end;
    }
    if (exact_arg != nullptr && !convert_flag(exact_arg, "exact", &range.exact)) return nullptr;
    return run_planned([&, in = input.span()] {
        std::string report;
        return plan_clip(in, range, report);
    });
}

PyObject* concat_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"parts", nullptr};
    PyObject* parts = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:concat", const_cast<char**>(keywords), &parts)) return nullptr;
    if (PyUnicode_Check(parts) || PyBytes_Check(parts) || PyByteArray_Check(parts)) {
        raise_wrong_type(parts, "Sequence", "parts");
        return nullptr;
    }
    const Py_ssize_t n = PySequence_Size(parts);
    if (n < 0) return nullptr;
    std::vector<std::unique_ptr<InputBuffer>> buffers;
    std::vector<ByteSpan> spans;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_GetItem(parts, k);
        if (item == nullptr) return nullptr;
        buffers.push_back(std::make_unique<InputBuffer>());
        const std::string param = "parts[" + std::to_string(k) + "]";
        const bool ok = buffers.back()->acquire(item, param.c_str());
        Py_DECREF(item);
        if (!ok) return nullptr;
        spans.push_back(buffers.back()->span());
    }
    return run_planned([&] {
        std::string report;
        return plan_concat(spans, report);
    });
}

PyObject* package_cmaf_py(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "segment_duration", "byte_range", nullptr};
    PyObject* data = nullptr;
    PyObject* duration_arg = nullptr;
    PyObject* byte_range_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:package_cmaf", const_cast<char**>(keywords), &data,
                                     &duration_arg, &byte_range_arg))
        return nullptr;
    InputBuffer input;
    if (!input.acquire(data, "data")) return nullptr;
    PackageOptions options;
    if (duration_arg != nullptr && !convert_seconds(duration_arg, "segment_duration", &options.segment_duration))
        return nullptr;
    if (byte_range_arg != nullptr && !convert_flag(byte_range_arg, "byte_range", &options.byte_range)) return nullptr;
    return run_planned_files([&, in = input.span()] {
        std::string report;
        return plan_package_cmaf(in, options, report);
    });
}

}  // namespace

PyMethodDef movie_functions[] = {
    {"probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_py)), METH_VARARGS | METH_KEYWORDS,
     "probe(data)\n--\n\n"
     "Tell what a transport stream, a regular MP4 or a fragmented MP4 holds.\n\n"
     "data is the whole input, as bytes or any other C-contiguous buffer.\n"
     "An MP4 is read from its boxes only; a transport stream in one pass.\n\n"
     "Returns a dict: \"format\" (\"mpegts\", \"mp4\" or \"fmp4\"), \"duration\"\n"
     "(seconds from the first sample shown of any track to the end of the\n"
     "last) and \"tracks\", one dict per video and audio track with \"id\"\n"
     "(track_ID, or the PID), \"kind\" (\"video\" or \"audio\"), \"codec\"\n"
     "(FFmpeg's name: \"h264\", \"hevc\", \"aac\", ...), \"codec_string\" (RFC\n"
     "6381, as MSE and HLS take it: \"avc1.64001f\", \"mp4a.40.2\", ...),\n"
     "\"start_time\" (seconds: the first sample shown, edit lists applied; of\n"
     "a transport stream, its PTS), \"duration\", \"frames\", \"key_frames\",\n"
     "\"bitrate\" (bits a second); of video \"width\", \"height\" and\n"
     "\"frame_rate\" (on average), of audio \"sample_rate\" and \"channels\";\n"
     "and \"language\" where the file names one.\n"
     "Raises TypeError if data is not a C-contiguous buffer; ValueError for\n"
     "input that no reader takes (garbage, nothing, an MP4 whose moov is cut\n"
     "off); MemoryError (saying how many bytes were asked for) when memory\n"
     "runs out, RuntimeError on an internal error."},
    {"clip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clip_py)), METH_VARARGS | METH_KEYWORDS,
     "clip(data, start, end=None, *, exact=False)\n--\n\n"
     "Cut a time range out of a transport stream or an MP4, without\n"
     "re-encoding.\n\n"
     "data is the whole input, as bytes or any other C-contiguous buffer.\n"
     "start and end are seconds of the presentation as a player shows it: 0\n"
     "is the first sample the input shows; end None is the end. The clip\n"
     "starts at the last key frame at or before start (nothing before it is\n"
     "needed to decode) and ends with the last picture that begins before\n"
     "end; the audio covers the same span, and the offset between audio and\n"
     "video of the source is kept. With exact=True the file still begins\n"
     "with that key frame's group of pictures, but edit lists hide what comes\n"
     "before start, so players show the picture on screen at start first and\n"
     "the presentation lasts end - start: the hidden pictures are still in\n"
     "the file, and a player that ignores edit lists shows them.\n\n"
     "Returns a regular MP4, whose timeline starts at 0, as new bytes.\n"
     "Raises TypeError if data is not a C-contiguous buffer or start or end\n"
     "not a number; ValueError if start < 0, end <= start, start lies at or\n"
     "past the end, or no reader takes the input; MemoryError (saying how\n"
     "many bytes were asked for) when memory runs out, RuntimeError on an\n"
     "internal error."},
    {"concat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(concat_py)), METH_VARARGS | METH_KEYWORDS,
     "concat(parts)\n--\n\n"
     "Join recordings or segments one after the other, without re-encoding.\n\n"
     "parts is a sequence of inputs, each a transport stream, a regular MP4\n"
     "or a fragmented MP4 (kinds may be mixed), as bytes or any other\n"
     "C-contiguous buffer, with the same codecs. Whatever their timestamps\n"
     "say, each part follows the one before on one timeline: its first\n"
     "picture comes one frame after the last one's last picture, and its\n"
     "audio keeps its offset to its video (frames that would overlap the\n"
     "audio before are dropped whole, and a gap stays a gap). A part whose\n"
     "parameter sets differ (a resolution change, an encoder restart) gets a\n"
     "sample entry of its own, so that every picture decodes.\n\n"
     "Returns a regular MP4 as new bytes.\n"
     "Raises TypeError if parts is not a sequence of C-contiguous buffers;\n"
     "ValueError for an empty list, parts with different codecs (naming the\n"
     "part's index and both codecs) or a part no reader takes (the reader's\n"
     "message behind \"Part N: \"); MemoryError (saying how many bytes were\n"
     "asked for) when memory runs out, RuntimeError on an internal error."},
    {"package_cmaf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(package_cmaf_py)),
     METH_VARARGS | METH_KEYWORDS,
     "package_cmaf(data, segment_duration=6.0, *, byte_range=False)\n--\n\n"
     "Package a transport stream or an MP4 for HLS and DASH, without\n"
     "re-encoding: CMAF tracks, their playlists and their manifest.\n\n"
     "data is the whole input, as bytes or any other C-contiguous buffer.\n"
     "Each video and audio track becomes a CMAF track in a folder of its own\n"
     "(\"video/\", \"audio/\", \"audio_2/\" ...): init.mp4 (ftyp with the CMAF\n"
     "brands, moov with mvex) and seg1.m4s, seg2.m4s ... (styp, moof, mdat).\n"
     "A video segment starts at a key frame: a new one at the first key\n"
     "frame at or after each multiple of segment_duration (seconds); audio\n"
     "segments end where the video segments do, at the nearest audio frame.\n"
     "All tracks keep their places on one timeline (tfdt), starting at 0.\n"
     "master.m3u8 and each folder's index.m3u8 are the HLS playlists (RFC\n"
     "8216, version 7, VOD); manifest.mpd is a static DASH manifest (live\n"
     "and CMAF profiles, SegmentTemplate with a SegmentTimeline). With\n"
     "byte_range=True each track is one media file, media.mp4 (the init, a\n"
     "segment index, then the segments), addressed by EXT-X-BYTERANGE and by\n"
     "a DASH SegmentBase (on-demand and CMAF profiles).\n\n"
     "Returns a dict of each file's path (relative to the tree's root, with\n"
     "\"/\") to its contents as bytes.\n"
     "Raises TypeError if data is not a C-contiguous buffer or\n"
     "segment_duration not a number; ValueError if segment_duration <= 0,\n"
     "for input that no reader takes, and for input without video or audio;\n"
     "MemoryError (saying how many bytes were asked for) when memory runs\n"
     "out, RuntimeError on an internal error."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace morvex::python
