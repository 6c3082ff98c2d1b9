// TransportStreamTransmuxer: a heap type created per module from a
// PyType_Spec, closed to subclassing, around the core's TsTransmuxer state.
// push() and flush() work with the interpreter lock released; the access
// counter keeps a second thread out of an instance while one is inside it
// (RuntimeError("Already borrowed")), so the state is never shared.
#include "python/transmuxer_type.h"

#include <string>

#include "python/call_frame.h"
#include "python/guarded_object.h"
#include "roads/ts_transmuxer.h"

namespace morvex::python {
namespace {

using TransmuxerObject = GuardedObject<TsTransmuxer>;

TransmuxerObject* as_transmuxer(PyObject* self) { return as_guarded<TsTransmuxer>(self); }

PyObject* transmuxer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_new<TsTransmuxer>(type, args, kwargs, ":TransportStreamTransmuxer");
}

// Runs `work` on the state with the lock released, through the module's one
// call frame (exceptions caught, the result written into its bytes object).
// The transmuxer gives no report of the streams it finds (as before the
// keyword existed); `report` is bound all the same, so that one policy
// serves every transport stream call, and its text goes to `sink` once
// there is one.
template <typename Work>
PyObject* run_on_state(TransmuxerObject* obj, const ReportSink& sink, Work&& work) {
    const std::string report;
    return run_planned([&]() -> Result<PlannedOutput> { return PlannedOutput::of(MORVEX_TRY(work(obj->state))); },
                       &report, sink);
}

PyObject* transmuxer_push(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"segment", "end_of_segment", "report", nullptr};
    PyObject* data = nullptr;
    int end_of_segment = 0;
    PyObject* report_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pO:push", const_cast<char**>(keywords), &data, &end_of_segment,
                                     &report_arg))
        return nullptr;
    auto* obj = as_transmuxer(self);
    if (!borrow_exclusive(obj->access)) return nullptr;
    ExclusiveAccess access{obj->access};
    InputBuffer input;
    if (!input.acquire(data, "segment")) return nullptr;
    ReportSink sink;
    if (!convert_report(report_arg, &sink)) return nullptr;
    return run_on_state(obj, sink, [segment = input.span(), end = bool(end_of_segment)](TsTransmuxer& t) {
        return transmux_push(t, segment, end);
    });
}

PyObject* transmuxer_flush(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"report", nullptr};
    PyObject* report_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:flush", const_cast<char**>(keywords), &report_arg))
        return nullptr;
    auto* obj = as_transmuxer(self);
    if (!borrow_exclusive(obj->access)) return nullptr;
    ExclusiveAccess access{obj->access};
    ReportSink sink;
    if (!convert_report(report_arg, &sink)) return nullptr;
    return run_on_state(obj, sink, [](TsTransmuxer& t) { return transmux_flush(t); });
}

PyObject* transmuxer_reset(PyObject* self, PyObject*) {
    auto* obj = as_transmuxer(self);
    if (!borrow_exclusive(obj->access)) return nullptr;
    ExclusiveAccess access{obj->access};
    transmux_reset(obj->state);
    Py_RETURN_NONE;
}

PyObject* transmuxer_get_init_segment(PyObject* self, void*) {
    auto* obj = as_transmuxer(self);
    if (!borrow_shared(obj->access)) return nullptr;
    PyObject* result = nullptr;
    if (obj->state.init) {
        const Bytes& init = *obj->state.init;
        result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(init.data()), Py_ssize_t(init.size()));
    } else {
        result = Py_None;
        Py_INCREF(result);
    }
    obj->access.fetch_sub(1);
    return result;
}

PyMethodDef transmuxer_methods[] = {
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transmuxer_push)),
     METH_VARARGS | METH_KEYWORDS, "push($self, segment, *, end_of_segment=False, report=...)\n--\n\n"
     "Take the next segment of a live MPEG-2 transport stream.\n\n"
     "segment is the next bytes of the stream (an HLS segment, or any piece),\n"
     "as bytes or any other C-contiguous buffer, read in place during the\n"
     "call (rewriting it meanwhile gives an unspecified result, never a\n"
     "crash). A PES or picture split between two segments is read whole once\n"
     "both have arrived. A fragment is complete once the next group of\n"
     "pictures (from a key picture, or after ten seconds without one) has\n"
     "begun. end_of_segment=True says the bytes end at a boundary the caller\n"
     "knows (an HLS segment's end): all they hold is written now, as by\n"
     "flush(), and the next push goes on on the same timeline.\n"
     "report is taken as by convert_ts_to_mp4 (left out: sys.stdout; None:\n"
     "nowhere; a callable); the transmuxer gives no report of its own.\n\n"
     "Returns the fragments (moof/mdat) complete so far as new bytes, after\n"
     "the initialisation segment on the first output once that is known;\n"
     "b\"\" when nothing is complete yet.\n"
     "Raises TypeError if segment is not a C-contiguous buffer, ValueError if\n"
     "the stream has no TS sync byte, MemoryError (saying how many bytes were\n"
     "asked for) when memory runs out, RuntimeError if another thread is\n"
     "using the transmuxer."},
    {"flush", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transmuxer_flush)),
     METH_VARARGS | METH_KEYWORDS, "flush($self, *, report=...)\n--\n\n"
     "Write what is pending: the last group of pictures and its audio.\n\n"
     "report is taken as by push().\n"
     "Returns the fragments as new bytes (b\"\" when nothing is pending),\n"
     "after the initialisation segment if it was not returned yet. Later\n"
     "pushes go on on the same tracks and timeline.\n"
     "Raises MemoryError when memory runs out, RuntimeError if another\n"
     "thread is using the transmuxer."},
    {"reset", transmuxer_reset, METH_NOARGS, "reset($self)\n--\n\n"
     "Forget the stream: pending bytes, tables, timeline and initialisation\n"
     "segment. The next push starts a new stream. Returns None.\n"
     "Raises RuntimeError if another thread is using the transmuxer."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef transmuxer_getset[] = {
    {"init_segment", transmuxer_get_init_segment, nullptr,
     "The initialisation segment (ftyp and moov) as bytes, or None before\n"
     "the stream's tables and first pictures have arrived (read-only).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot transmuxer_slots[] = {
    {Py_tp_doc, const_cast<char*>("TransportStreamTransmuxer()\n--\n\n"
                  "Turns a live MPEG-2 transport stream (H.264, HEVC or MPEG-2 video; AAC,\n"
                  "MPEG, AC-3 or E-AC-3 audio), segment by segment, into fragmented MP4:\n"
                  "one initialisation segment, then one moof/mdat fragment per group of\n"
                  "pictures. It reads the stream as convert_ts_to_fmp4 does, and its\n"
                  "outputs joined are that function's result.\n\n"
                  "Give it each segment in order to push(); flush() writes what remains,\n"
                  "reset() starts a new stream. The timeline starts at 0 with the offset\n"
                  "between audio and video of the source, and goes on across segments,\n"
                  "timestamp jumps and programme changes. Takes no arguments. One\n"
                  "instance serves one thread: a second thread entering it while it works\n"
                  "gets RuntimeError(\"Already borrowed\"). The class cannot be subclassed.")},
    {Py_tp_new, reinterpret_cast<void*>(transmuxer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded_dealloc<TsTransmuxer>)},
    {Py_tp_traverse, reinterpret_cast<void*>(guarded_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(guarded_clear)},
    {Py_tp_methods, transmuxer_methods},
    {Py_tp_getset, transmuxer_getset},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed.
PyType_Spec transmuxer_spec = {
    "morvex._morvex.TransportStreamTransmuxer",
    int(sizeof(TransmuxerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    transmuxer_slots,
};

}  // namespace

PyObject* create_transmuxer_type(PyObject*) { return PyType_FromSpec(&transmuxer_spec); }

}  // namespace morvex::python
