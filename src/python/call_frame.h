// The frame every module function runs in: argument conversion, the input
// buffers held for the call, the work with the lock released, and the
// mapping of the result to `bytes` or an exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex::python {

// Raises TypeError "'{type}' object is not an instance of '{expected}'" with
// the note "while processing '{param}'".
void raise_wrong_type(PyObject* arg, const char* expected, const char* param);

// The bytes of an argument that exports a C-contiguous buffer (bytes,
// bytearray, memoryview, mmap, array.array, numpy arrays), read in place.
// The export is held until the object goes, at the end of the call, so the
// work may read it with the lock released and a bytearray cannot be resized
// meanwhile. Its content may still be rewritten by another thread: the core
// then reads other bytes, but every read stays inside the buffer and every
// write inside the output.
class InputBuffer {
public:
    InputBuffer() = default;
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;
    ~InputBuffer();

    // Takes the buffer of `arg`; raises TypeError (noting `param`) and
    // returns false when it has none or it is not C-contiguous.
    bool acquire(PyObject* arg, const char* param);

    ByteSpan span() const { return span_; }

private:
    Py_buffer view_{};
    bool held_ = false;
    ByteSpan span_;
};

// Accepts an exact bool or a numpy boolean scalar; sets `*out`.
bool convert_flag(PyObject* arg, const char* param, bool* out);

// Where a call's report goes: `report` left out (or `...`) prints it through
// sys.stdout, None drops it, a callable receives its text.
struct ReportSink {
    PyObject* callable = nullptr;  // borrowed from the call's arguments
    bool print = true;
};

// Binds the `report` keyword; raises TypeError for anything else.
bool convert_report(PyObject* arg, ReportSink* out);

// Raises the exception that stands for a core error value.
void raise_error(const Error& error);

// Runs `work` with the lock released. Any C++ exception is caught and raised
// (std::bad_alloc as a MemoryError that says how many bytes were asked
// for); returns false then.
bool run_released(const std::function<void()>& work);

// Runs work that plans its output and turns the result into a new bytes
// object, or raises. The plan is made with the lock released, the result's
// bytes object is allocated at its exact size with the lock held, and the
// output is written into it with the lock released again, so it is written
// once and never copied, and never past the planned size. Any C++ exception
// is caught here: std::bad_alloc becomes MemoryError, anything else
// RuntimeError. The text the work left in `report`, if any, goes to `sink`
// once the call has succeeded; a failing call reports nothing. A callable
// that raises makes the call raise.
PyObject* run_planned(const std::function<Result<PlannedOutput>()>& plan, const std::string* report = nullptr,
                      const ReportSink& sink = {});

// As run_planned, for work that plans a tree of files: the result is a dict
// of each file's path (str) to its contents (bytes), in the plan's order,
// each bytes object allocated at its planned size and written once.
PyObject* run_planned_files(const std::function<Result<std::vector<NamedOutput>>()>& plan);

// Thrown from inside the work when a Python callable it called raised: the
// exception is set already, and the call raises it.
struct PythonRaised : std::exception {};

// As run_planned, but the output is written into the storage `storage`
// gives for the planned size (a mapped file; called with the lock held, it
// raises and gives nothing when it cannot), and the result is that size as
// an int. The writing takes the lock back every 16 MB or so to hear a
// Ctrl-C and to call `progress("write", done, total)` when it is given;
// what either raises ends the call.
PyObject* run_planned_into(const std::function<Result<PlannedOutput>()>& plan,
                           const std::function<std::optional<std::span<uint8_t>>(size_t)>& storage,
                           PyObject* progress, const std::string* report = nullptr, const ReportSink& sink = {});

}  // namespace morvex::python
