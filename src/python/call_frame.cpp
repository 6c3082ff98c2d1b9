#include "python/call_frame.h"

#include <exception>
#include <new>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace morvex::python {
namespace {

// UTF-8 text of a str object (the limited API of 3.9 has no direct accessor).
bool utf8_text(PyObject* str, std::string& out) {
    if (!PyUnicode_Check(str)) return false;
    PyObject* encoded = PyUnicode_AsUTF8String(str);
    if (encoded == nullptr) return false;
    out.assign(PyBytes_AsString(encoded), size_t(PyBytes_Size(encoded)));
    Py_DECREF(encoded);
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

}  // namespace

void raise_wrong_type(PyObject* arg, const char* expected, const char* param) {
    std::string message = arg == Py_None ? "'None' is not an instance of '" + std::string(expected) + "'"
                                         : "'" + type_name(arg) + "' object is not an instance of '" +
                                               std::string(expected) + "'";
    PyObject* exc = PyObject_CallFunction(PyExc_TypeError, "s", message.c_str());
    if (exc == nullptr) return;
    // Exception notes exist from Python 3.11 on.
    if (PyObject_HasAttrString(exc, "add_note")) {
        std::string note = "while processing '" + std::string(param) + "'";
        PyObject* r = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
        Py_XDECREF(r);
        PyErr_Clear();
    }
    PyErr_SetObject(PyExc_TypeError, exc);
    Py_DECREF(exc);
}

bool check_bytes(PyObject* arg, const char* param) {
    if (PyBytes_Check(arg)) return true;
    raise_wrong_type(arg, "bytes", param);
    return false;
}

ByteSpan view_bytes(PyObject* arg) {
    Py_ssize_t size = PyBytes_Size(arg);
    if (size <= 0) return {};
    return ByteSpan(reinterpret_cast<const uint8_t*>(PyBytes_AsString(arg)), size_t(size));
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

void raise_error(const Error& error) { PyErr_SetString(PyExc_ValueError, error.message.c_str()); }

namespace {

// Writes `text` through sys.stdout, so that it keeps its place among what the
// program prints itself and follows contextlib.redirect_stdout. A failure to
// print does not fail the call.
void print_report(const std::string& text) {
    if (text.empty()) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
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
    PyErr_Restore(type, value, traceback);
}

}  // namespace

namespace {

enum class Fault { none, no_memory, other };

// Runs `f` and turns any C++ exception into a fault to raise later.
template <typename F>
Fault guarded(F&& f, std::string& what) {
    try {
        f();
    } catch (const std::bad_alloc&) {
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

PyObject* raise_fault(Fault fault, const std::string& what) {
    if (fault == Fault::no_memory) return PyErr_NoMemory();
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

}  // namespace

PyObject* bytes_from_plan(const PlannedOutput& plan) {
    if (plan.size > size_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* result = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(plan.size));
    if (result == nullptr) return nullptr;
    char* buffer = PyBytes_AsString(result);
    std::string what;
    const Fault fault = buffer == nullptr ? Fault::other : guarded([&] {
        plan.write(std::span<uint8_t>(reinterpret_cast<uint8_t*>(buffer), plan.size));
    }, what);
    if (fault != Fault::none) {
        Py_DECREF(result);
        return buffer == nullptr ? nullptr : raise_fault(fault, what);
    }
    return result;
}

PyObject* run_planned(const std::function<Result<PlannedOutput>()>& plan, const std::string* report) {
    Result<PlannedOutput> planned;
    std::string what;
    PyThreadState* state = PyEval_SaveThread();
    Fault fault = guarded([&] { planned = plan(); }, what);
    PyEval_RestoreThread(state);
    if (report != nullptr) print_report(*report);
    if (fault != Fault::none) return raise_fault(fault, what);
    if (!planned) {
        raise_error(planned.error());
        return nullptr;
    }
    if (planned->size > size_t(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    // A bytes object made from NULL may be filled in before it is shared.
    PyObject* result = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(planned->size));
    if (result == nullptr) return nullptr;
    char* buffer = PyBytes_AsString(result);
    if (buffer == nullptr) {
        Py_DECREF(result);
        return nullptr;
    }
    advise_huge_pages(buffer, planned->size);
    state = PyEval_SaveThread();
    fault = guarded([&] { planned->write(std::span<uint8_t>(reinterpret_cast<uint8_t*>(buffer), planned->size)); },
                    what);
    planned = Result<PlannedOutput>();  // what the writer held is released without the lock
    PyEval_RestoreThread(state);
    if (fault != Fault::none) {
        Py_DECREF(result);
        return raise_fault(fault, what);
    }
    return result;
}

}  // namespace morvex::python
