// The module's road from files to a file: inputs mapped, the output planned,
// then written straight into a mapped output file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvex::python {

// _write_file(name, inputs, fd, *, progress=None, report=..., **options),
// private: morvex.write_file (python/morvex/_files.py) is its face.
extern PyMethodDef file_functions[];

}  // namespace morvex::python
