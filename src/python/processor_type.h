// The FragmentedMP4Processor class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvex::python {

// Creates the class for `module`; a new reference, or null. Null without an
// exception set means the class is not part of this build.
PyObject* create_processor_type(PyObject* module);

}  // namespace morvex::python
