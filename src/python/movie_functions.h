// probe, clip and concat: the functions over any input that a reader takes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvex::python {

extern PyMethodDef movie_functions[];

}  // namespace morvex::python
