#include "python/call_frame.h"

#include <exception>
#include <new>
#include <optional>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "python/allocation.h"

namespace morvex::python {
namespace {

// UTF-8 text of a str object.
bool utf8_text(PyObject* str, std::string& out) {
    if (!PyUnicode_Check(str)) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == nullptr) return false;
    out.assign(text, size_t(size));
    return true;
}

// The type's __name__, or "?" when it cannot be read.
std::string type_name(PyObject* obj) {
    std::string name = "?";
    PyObject* n = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
    if (n != nullptr) {
        utf8_text(n, name);
        Py_DECREF(n);
    }
    PyErr_Clear();
    return name;
}

bool module_is_numpy(PyObject* type) {
    PyObject* mod = PyObject_GetAttrString(type, "__module__");
    if (mod == nullptr) {
        PyErr_Clear();
        return false;
    }
    std::string name;
    bool is_numpy = utf8_text(mod, name) && name == "numpy";
    Py_DECREF(mod);
    PyErr_Clear();
    return is_numpy;
}

// Raises `type` with `message` and the note "while processing '{param}'".
void raise_with_note(PyObject* type, const std::string& message, const char* param) {
    PyObject* exc = PyObject_CallFunction(type, "s", message.c_str());
    if (exc == nullptr) return;
    std::string note = "while processing '";
    note += param;
    note += "'";
    PyObject* r = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
    Py_XDECREF(r);
    PyErr_Clear();
    PyErr_SetObject(type, exc);
    Py_DECREF(exc);
}

}  // namespace

void raise_wrong_type(PyObject* arg, const char* expected, const char* param) {
    std::string message;
    if (arg == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        message = "'";
        message += type_name(arg);
        message += "' object is not an instance of '";
    }
    message += expected;
    message += "'";
    raise_with_note(PyExc_TypeError, message, param);
}

InputBuffer::~InputBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

bool InputBuffer::acquire(PyObject* arg, const char* param) {
    // Strides are asked for so that a non-contiguous view is exported as
    // it is and refused here with a message of our own.
    if (PyObject_GetBuffer(arg, &view_, PyBUF_RECORDS_RO) < 0) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            std::string message = "a bytes-like object is required, not '" + type_name(arg) + "'";
            raise_with_note(PyExc_TypeError, message, param);
        }
        return false;
    }
    held_ = true;
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        std::string message = "a C-contiguous buffer is required; the '" + type_name(arg) + "' is not contiguous";
        raise_with_note(PyExc_TypeError, message, param);
        return false;
    }
    if (view_.len > 0) span_ = ByteSpan(static_cast<const uint8_t*>(view_.buf), size_t(view_.len));
    return true;
}

bool convert_flag(PyObject* arg, const char* param, bool* out) {
    if (arg == Py_True || arg == Py_False) {
        *out = arg == Py_True;
        return true;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(arg));
    std::string name = type_name(arg);
    if ((name == "bool_" || name == "bool") && module_is_numpy(type)) {
        PyObject* r = PyObject_CallMethod(arg, "__bool__", nullptr);
        if (r == nullptr) return false;
        if (r != Py_True && r != Py_False) {
            Py_DECREF(r);
            PyErr_SetString(PyExc_TypeError, "__bool__ should return bool");
            return false;
        }
        *out = r == Py_True;
        Py_DECREF(r);
        return true;
    }
    raise_wrong_type(arg, "bool", param);
    return false;
}

bool convert_report(PyObject* arg, ReportSink* out) {
    if (arg == nullptr || arg == Py_Ellipsis) {
        *out = ReportSink{};
    } else if (arg == Py_None) {
        *out = ReportSink{nullptr, false};
    } else if (PyCallable_Check(arg)) {
        *out = ReportSink{arg, false};
    } else {
        raise_with_note(PyExc_TypeError,
                        "report must be a callable or None, not '" + type_name(arg) + "'", "report");
        return false;
    }
    return true;
}

void raise_error(const Error& error) { PyErr_SetString(PyExc_ValueError, error.message.c_str()); }

namespace {

// Writes `text` through sys.stdout, so that it keeps its place among what the
// program prints itself and follows contextlib.redirect_stdout. A failure to
// print does not fail the call.
void print_report(const std::string& text) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out != nullptr && out != Py_None) {
        PyObject* r = PyObject_CallMethod(out, "write", "s#", text.data(), Py_ssize_t(text.size()));
        Py_XDECREF(r);
        if (r != nullptr) {
            r = PyObject_CallMethod(out, "flush", nullptr);
            Py_XDECREF(r);
        }
    }
    PyErr_Clear();
}

// Hands the report of a call that succeeded to its sink; false when the
// callable raised.
bool deliver_report(const ReportSink& sink, const std::string& text) {
    if (text.empty()) return true;
    if (sink.print) {
        print_report(text);
        return true;
    }
    if (sink.callable == nullptr) return true;
    // One string, its lines joined by "\n", without the last line's end, as
    // a logging call takes a message.
    const size_t length = text.back() == '\n' ? text.size() - 1 : text.size();
    PyObject* r = PyObject_CallFunction(sink.callable, "s#", text.data(), Py_ssize_t(length));
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
}

enum class Fault { none, no_memory, python, other };

// Runs `f` and turns any C++ exception into a fault to raise later.
template <typename F>
Fault guarded(F&& f, std::string& what, size_t& requested) {
    try {
        f();
    } catch (const PythonRaised&) {
        return Fault::python;
    } catch (const std::bad_alloc& e) {
        requested = requested_size(e);
        return Fault::no_memory;
    } catch (const std::exception& e) {
        what = e.what();
        return Fault::other;
    } catch (...) {
        what = "unknown failure";
        return Fault::other;
    }
    return Fault::none;
}

PyObject* raise_fault(Fault fault, const std::string& what, size_t requested) {
    if (fault == Fault::no_memory) return raise_no_memory(requested);
    if (fault == Fault::python) return nullptr;  // its exception is set already
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", what.c_str());
    return nullptr;
}

// The kernel may back the large interior of a big result with huge pages,
// which are faulted in far faster than 4 KiB ones. A hint only.
void advise_huge_pages([[maybe_unused]] char* p, [[maybe_unused]] size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    if (n < 2 * kHuge) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// A bytes object of `size` bytes to fill in before it is shared, or a
// MemoryError that says the size.
PyObject* new_result(size_t size) {
    if (size > size_t(PY_SSIZE_T_MAX)) return raise_no_memory(size);
    PyObject* result = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size));
    if (result == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return raise_no_memory(size);
    }
    return result;
}

// Makes the plan without the lock; false, with the exception set, when it
// failed or raised.
template <typename T>
bool plan_released(const std::function<Result<T>()>& plan, Result<T>& planned) {
    std::string what;
    size_t requested = 0;
    PyThreadState* state = PyEval_SaveThread();
    const Fault fault = guarded([&] { planned = plan(); }, what, requested);
    PyEval_RestoreThread(state);
    if (fault != Fault::none) {
        raise_fault(fault, what, requested);
        return false;
    }
    if (!planned) {
        raise_error(planned.error());
        return false;
    }
    return true;
}

}  // namespace

bool run_released(const std::function<void()>& work) {
    std::string what;
    size_t requested = 0;
    PyThreadState* state = PyEval_SaveThread();
    const Fault fault = guarded(work, what, requested);
    PyEval_RestoreThread(state);
    if (fault == Fault::none) return true;
    raise_fault(fault, what, requested);
    return false;
}

PyObject* run_planned(const std::function<Result<PlannedOutput>()>& plan, const std::string* report,
                      const ReportSink& sink) {
    Result<PlannedOutput> planned;
    if (!plan_released(plan, planned)) return nullptr;
    PyObject* result = new_result(planned->size);
    if (result == nullptr) return nullptr;
    char* buffer = PyBytes_AsString(result);
    if (buffer == nullptr) {
        Py_DECREF(result);
        return nullptr;
    }
    advise_huge_pages(buffer, planned->size);
    std::string what;
    size_t requested = 0;
    PyThreadState* state = PyEval_SaveThread();
    const Fault fault = guarded([&] { planned->write_into(std::span<uint8_t>(reinterpret_cast<uint8_t*>(buffer), planned->size)); },
                    what, requested);
    planned = Result<PlannedOutput>();  // what the writer held is released without the lock
    PyEval_RestoreThread(state);
    if (fault != Fault::none) {
        Py_DECREF(result);
        return raise_fault(fault, what, requested);
    }
    if (report != nullptr && !deliver_report(sink, *report)) {
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

}  // namespace morvex::python

namespace morvex::python {

PyObject* run_planned_into(const std::function<Result<PlannedOutput>()>& plan,
                           const std::function<std::optional<std::span<uint8_t>>(size_t)>& storage,
                           PyObject* progress, const std::string* report, const ReportSink& sink) {
    Result<PlannedOutput> planned;
    if (!plan_released(plan, planned)) return nullptr;
    std::string what;
    size_t requested = 0;
    PyThreadState* state = nullptr;
    const size_t total = planned->size;
    const std::optional<std::span<uint8_t>> storage_made = storage(total);
    if (!storage_made) return nullptr;
    const std::span<uint8_t> out = *storage_made;
    // Every step of the writing takes the lock back for a moment: to hear a
    // Ctrl-C, and to tell `progress` how far it has come.
    const std::function<void(size_t)> hook = [&](size_t done) {
        PyEval_RestoreThread(state);
        bool ok = PyErr_CheckSignals() == 0;
        if (ok && progress != nullptr && progress != Py_None) {
            PyObject* r = PyObject_CallFunction(progress, "snn", "write", Py_ssize_t(done), Py_ssize_t(total));
            ok = r != nullptr;
            Py_XDECREF(r);
        }
        state = PyEval_SaveThread();
        if (!ok) throw PythonRaised();
    };
    state = PyEval_SaveThread();
    const Fault fault = guarded([&] { planned->write_into(out, &hook); }, what, requested);
    planned = Result<PlannedOutput>();
    PyEval_RestoreThread(state);
    if (fault != Fault::none) return raise_fault(fault, what, requested);
    if (report != nullptr && !deliver_report(sink, *report)) return nullptr;
    return PyLong_FromSize_t(total);
}

}  // namespace morvex::python

namespace morvex::python {

PyObject* run_planned_files(const std::function<Result<std::vector<NamedOutput>>()>& plan) {
    Result<std::vector<NamedOutput>> planned;
    if (!plan_released(plan, planned)) return nullptr;
    // Every file's bytes object first, with the lock held; then all the
    // writing without it.
    std::vector<PyObject*> results;
    std::vector<std::span<uint8_t>> buffers;
    auto release = [&results] {
        for (PyObject* r : results) Py_DECREF(r);
        return nullptr;
    };
    for (const NamedOutput& file : *planned) {
        PyObject* result = new_result(file.output.size);
        if (result == nullptr) return release();
        results.push_back(result);
        char* buffer = PyBytes_AsString(result);
        if (buffer == nullptr) return release();
        advise_huge_pages(buffer, file.output.size);
        buffers.emplace_back(reinterpret_cast<uint8_t*>(buffer), file.output.size);
    }
    std::string what;
    size_t requested = 0;
    PyThreadState* state = PyEval_SaveThread();
    const Fault fault = guarded(
        [&] {
            for (size_t k = 0; k < buffers.size(); ++k) (*planned)[k].output.write_into(buffers[k]);
        },
        what, requested);
    std::vector<std::string> paths;
    if (fault == Fault::none) {
        for (auto& file : *planned) paths.push_back(std::move(file.path));
    }
    planned = Result<std::vector<NamedOutput>>();  // what the writers held is released without the lock
    PyEval_RestoreThread(state);
    if (fault != Fault::none) {
        release();
        return raise_fault(fault, what, requested);
    }
    PyObject* tree = PyDict_New();
    if (tree == nullptr) return release();
    for (size_t k = 0; k < results.size(); ++k) {
        PyObject* key = PyUnicode_FromStringAndSize(paths[k].data(), Py_ssize_t(paths[k].size()));
        const int rc = key == nullptr ? -1 : PyDict_SetItem(tree, key, results[k]);
        Py_XDECREF(key);
        if (rc < 0) {
            Py_DECREF(tree);
            return release();
        }
    }
    release();  // the dict holds them now
    return tree;
}

}  // namespace morvex::python
