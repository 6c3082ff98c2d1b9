#include "python/allocation.h"

#include <cstdio>
#include <string>

namespace morvex::python {

PyObject* raise_no_memory(size_t requested) {
    if (requested == 0) return PyErr_NoMemory();
    std::string message = "could not allocate " + std::to_string(requested) + " bytes";
    if (requested >= (size_t(1) << 20)) {
        static constexpr const char* kUnits[] = {"MiB", "GiB", "TiB", "PiB", "EiB"};
        double amount = double(requested) / double(size_t(1) << 20);
        size_t unit = 0;
        while (amount >= 1024.0 && unit + 1 < std::size(kUnits)) {
            amount /= 1024.0;
            ++unit;
        }
        char scaled[32];
        std::snprintf(scaled, sizeof scaled, " (%.1f %s)", amount, kUnits[unit]);
        message += scaled;
    }
    PyErr_SetString(PyExc_MemoryError, message.c_str());
    return nullptr;
}

}  // namespace morvex::python

// The linker sends the extension's calls of the throwing operator new
// forms (mangled for a 64-bit size_t) here, and __real_ to the operator new
// of the C++ runtime, so allocation itself is the runtime's (and a
// sanitizer's, when one is loaded).
static_assert(sizeof(size_t) == 8, "the wrapped symbols are those of a 64-bit size_t");

extern "C" {
void* __real__Znwm(size_t n);
void* __real__Znam(size_t n);
void* __real__ZnwmSt11align_val_t(size_t n, std::align_val_t a);
void* __real__ZnamSt11align_val_t(size_t n, std::align_val_t a);

void* __wrap__Znwm(size_t n) {
    try {
        return __real__Znwm(n);
    } catch (const std::bad_alloc&) {
        throw morvex::AllocationFailure(n);
    }
}
void* __wrap__Znam(size_t n) {
    try {
        return __real__Znam(n);
    } catch (const std::bad_alloc&) {
        throw morvex::AllocationFailure(n);
    }
}
void* __wrap__ZnwmSt11align_val_t(size_t n, std::align_val_t a) {
    try {
        return __real__ZnwmSt11align_val_t(n, a);
    } catch (const std::bad_alloc&) {
        throw morvex::AllocationFailure(n);
    }
}
void* __wrap__ZnamSt11align_val_t(size_t n, std::align_val_t a) {
    try {
        return __real__ZnamSt11align_val_t(n, a);
    } catch (const std::bad_alloc&) {
        throw morvex::AllocationFailure(n);
    }
}
}
