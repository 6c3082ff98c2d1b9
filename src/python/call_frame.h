// The frame every module function runs in: argument conversion, the copy of
// the input under the interpreter lock, the work with the lock released, and
// the mapping of the result to `bytes` or an exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <functional>
#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"

namespace morvex::python {

// Raises TypeError "'{type}' object is not an instance of '{expected}'" with
// the note "while processing '{param}'" where the interpreter has notes.
void raise_wrong_type(PyObject* arg, const char* expected, const char* param);

// Checks that `arg` is bytes (or a subclass); raises the TypeError otherwise.
bool check_bytes(PyObject* arg, const char* param);

// The buffer of a bytes object, read in place. A bytes object is immutable
// and the caller holds a reference to it for the whole call, so the work may
// read it with the lock released.
ByteSpan view_bytes(PyObject* arg);

// Accepts an exact bool or a numpy boolean scalar; sets `*out`.
bool convert_flag(PyObject* arg, const char* param, bool* out);

// Raises the exception that stands for a core error value.
void raise_error(const Error& error);

// A new bytes object holding a planned output, written with the lock held
// (for the class's methods, which keep it); raises on a C++ exception.
PyObject* bytes_from_plan(const PlannedOutput& plan);

// Runs work that plans its output and turns the result into a new bytes
// object, or raises. The plan is made with the lock released, the result's
// bytes object is allocated at its exact size with the lock held, and the
// output is written into it with the lock released again, so it is written
// once and never copied. Any C++ exception is caught here: std::bad_alloc
// becomes MemoryError, anything else RuntimeError. The text the work left in
// `report`, if any, is written to sys.stdout once the lock is held again,
// whether the work succeeded or not.
PyObject* run_planned(const std::function<Result<PlannedOutput>()>& plan, const std::string* report = nullptr);

}  // namespace morvex::python
