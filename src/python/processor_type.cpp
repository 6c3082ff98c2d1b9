#include "python/processor_type.h"

namespace morvex::python {

PyObject* create_processor_type(PyObject*) { return nullptr; }

}  // namespace morvex::python
