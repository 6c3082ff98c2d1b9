// MemoryError that says how many bytes were asked for.
//
// The extension is linked with `--wrap` for the throwing forms of operator
// new (see allocation.cpp): every allocation of its code goes through the
// real operator new, and a failure is rethrown as an AllocationFailure
// (common/allocation_failure.h), as the core's mapped buffers throw it, so
// the request's size reaches the boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "common/allocation_failure.h"

namespace morvex::python {

// Raises MemoryError("could not allocate {n} bytes (...)"), or a bare
// MemoryError when `requested` is 0. Returns nullptr.
PyObject* raise_no_memory(size_t requested);

}  // namespace morvex::python
