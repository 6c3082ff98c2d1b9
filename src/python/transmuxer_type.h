// The TransportStreamTransmuxer class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvex::python {

// Creates the class for `module`; a new reference, or null with an
// exception set.
PyObject* create_transmuxer_type(PyObject* module);

}  // namespace morvex::python
