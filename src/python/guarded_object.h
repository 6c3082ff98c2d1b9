// The instance layout and life cycle shared by the module's stateful heap
// types: the core's state beside an access counter that keeps a second
// thread out of an instance while one is inside it (0: free; n > 0: n
// readers; -1: one writer). The types take part in cyclic garbage
// collection; an instance holds no interpreter object, only its heap type.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>

namespace morvex::python {

template <typename State>
struct GuardedObject {
    PyObject_HEAD
    State state;
    std::atomic<int> access;
};

template <typename State>
GuardedObject<State>* as_guarded(PyObject* self) {
    return reinterpret_cast<GuardedObject<State>*>(self);
}

// RuntimeError("Already borrowed") when another thread holds the instance.
inline bool borrow_exclusive(std::atomic<int>& access) {
    int expected = 0;
    if (access.compare_exchange_strong(expected, -1)) return true;
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
}

// RuntimeError("Already mutably borrowed") while a writer is inside; the
// reader gives its access back with access.fetch_sub(1).
inline bool borrow_shared(std::atomic<int>& access) {
    int current = access.load();
    do {
        if (current < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
    } while (!access.compare_exchange_weak(current, current + 1));
    return true;
}

// Releases exclusive access when it goes out of scope, on every way out.
struct ExclusiveAccess {
    std::atomic<int>& access;
    ~ExclusiveAccess() { access.store(0); }
};

// tp_new: no arguments (`format` is ":TypeName", for the error message).
template <typename State>
PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords))) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = as_guarded<State>(self);
    new (&obj->state) State();
    new (&obj->access) std::atomic<int>(0);
    return self;
}

inline int guarded_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

inline int guarded_clear(PyObject*) { return 0; }

template <typename State>
void guarded_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* obj = as_guarded<State>(self);
    obj->state.~State();
    obj->access.~atomic<int>();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

}  // namespace morvex::python
