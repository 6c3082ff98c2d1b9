// FragmentedMP4Processor: a heap type created per module from a PyType_Spec,
// taking part in cyclic garbage collection and closed to subclassing. The
// members that read a segment work with the interpreter lock released; the
// access counter keeps a second thread out of an instance while one is
// inside it (RuntimeError("Already borrowed")), so the state is never shared.
#include "python/processor_type.h"

#include "roads/segment_rebaser.h"
#include "python/call_frame.h"
#include "python/guarded_object.h"

namespace morvex::python {
namespace {

using ProcessorObject = GuardedObject<FragmentedMP4Processor>;

ProcessorObject* as_processor(PyObject* self) { return as_guarded<FragmentedMP4Processor>(self); }

PyObject* processor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_new<FragmentedMP4Processor>(type, args, kwargs, ":FragmentedMP4Processor");
}

// Binds the one `data` argument of a method.
bool bind_data(PyObject* args, PyObject* kwargs, const char* format, PyObject** data) {
    static const char* keywords[] = {"data", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), data) != 0;
}

PyObject* processor_set_init_segment(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* data = nullptr;
    if (!bind_data(args, kwargs, "O:set_init_segment", &data)) return nullptr;
    auto* obj = as_processor(self);
    if (!borrow_exclusive(obj->access)) return nullptr;
    ExclusiveAccess access{obj->access};
    InputBuffer input;
    if (!input.acquire(data, "data")) return nullptr;
    if (!run_released([&, init = input.span()] { set_init_segment(obj->state, init); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* processor_process_segment(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* data = nullptr;
    if (!bind_data(args, kwargs, "O:process_segment", &data)) return nullptr;
    auto* obj = as_processor(self);
    if (!borrow_exclusive(obj->access)) return nullptr;
    ExclusiveAccess access{obj->access};
    InputBuffer input;
    if (!input.acquire(data, "data")) return nullptr;
    // The segment is copied once, straight into the result.
    return run_planned([&, segment = input.span()] { return plan_segment(obj->state, segment); });
}

PyObject* processor_reset(PyObject* self, PyObject*) {
    auto* obj = as_processor(self);
    if (!borrow_exclusive(obj->access)) return nullptr;
    ExclusiveAccess access{obj->access};
    reset(obj->state);
    Py_RETURN_NONE;
}

PyObject* processor_get_base_decode_time(PyObject* self, void*) {
    auto* obj = as_processor(self);
    if (!borrow_shared(obj->access)) return nullptr;
    std::optional<uint64_t> base = obj->state.base_decode_time;
    obj->access.fetch_sub(1);
    if (!base) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*base);
}

PyMethodDef processor_methods[] = {
    {"set_init_segment", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(processor_set_init_segment)),
     METH_VARARGS | METH_KEYWORDS, "set_init_segment($self, data)\n--\n\n"
     "Take the stream's initialisation segment (ftyp and moov).\n\n"
     "data is the segment, as bytes or any other C-contiguous buffer. Its\n"
     "mdhd timescales let every track move back by the same instant, so the\n"
     "offsets between tracks stay; a track whose timescale it does not give\n"
     "moves back by its own first decode time, so its offset from the others\n"
     "is lost.\n"
     "Returns None.\n"
     "Raises TypeError if data is not a C-contiguous buffer, MemoryError when\n"
     "memory runs out, RuntimeError if another thread is using the processor."},
    {"process_segment", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(processor_process_segment)),
     METH_VARARGS | METH_KEYWORDS, "process_segment($self, data)\n--\n\n"
     "Rebase the decode times of one media segment (moof and mdat).\n\n"
     "data is the segment, as bytes or any other C-contiguous buffer, read in\n"
     "place during the call (rewriting it meanwhile gives an unspecified\n"
     "result, never a crash). The earliest first decode time of the tracks\n"
     "of the first segment becomes 0 and every fragment keeps its distance\n"
     "from it (see set_init_segment); sidx times move with them. All other\n"
     "bytes pass through, so the segment keeps its length and layout. A box\n"
     "cut off at the end of the segment is left out.\n\n"
     "Returns the rebased segment as new bytes.\n"
     "Raises TypeError if data is not a C-contiguous buffer,\n"
     "ValueError(\"Invalid box size\") for a box smaller than its header,\n"
     "MemoryError when memory runs out, RuntimeError if another thread is\n"
     "using the processor."},
    {"reset", processor_reset, METH_NOARGS, "reset($self)\n--\n\n"
     "Forget the base decode time: the next tfdt seen becomes the new base.\n"
     "The initialisation segment is kept. Returns None.\n"
     "Raises RuntimeError if another thread is using the processor."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef processor_getset[] = {
    {"base_decode_time", processor_get_base_decode_time, nullptr,
     "The base, the first segment's earliest tfdt value (in its own track's\n"
     "timescale), as an int, or None before the first segment with a tfdt\n"
     "(read-only).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot processor_slots[] = {
    {Py_tp_doc, const_cast<char*>("FragmentedMP4Processor()\n--\n\n"
                  "Rebases the decode times of a live fragmented MP4 stream, segment by\n"
                  "segment, so that it starts at decode time 0.\n\n"
                  "Give it the initialisation segment with set_init_segment(), then each\n"
                  "media segment in order to process_segment(); reset() starts a new\n"
                  "base. Takes no arguments. One instance serves one thread: a second\n"
                  "thread entering it while it works gets RuntimeError(\"Already\n"
                  "borrowed\"). The class cannot be subclassed.")},
    {Py_tp_new, reinterpret_cast<void*>(processor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded_dealloc<FragmentedMP4Processor>)},
    {Py_tp_traverse, reinterpret_cast<void*>(guarded_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(guarded_clear)},
    {Py_tp_methods, processor_methods},
    {Py_tp_getset, processor_getset},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. The dotted prefix
// becomes __module__; __name__ and __qualname__ are the bare class name.
PyType_Spec processor_spec = {
    "morvex._morvex.FragmentedMP4Processor",
    int(sizeof(ProcessorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    processor_slots,
};

}  // namespace

PyObject* create_processor_type(PyObject*) {
    // Each module exec makes its own type object, so nothing is shared
    // between module instances.
    return PyType_FromSpec(&processor_spec);
}

}  // namespace morvex::python
