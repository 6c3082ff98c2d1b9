// A failed allocation that says how many bytes were asked for. It is a
// std::bad_alloc, so every handler of that still catches it; the binding
// reads the size to say it in its MemoryError.
#pragma once

#include <cstddef>
#include <new>

namespace morvex {

struct AllocationFailure : std::bad_alloc {
    explicit AllocationFailure(size_t n) : requested(n) {}
    const char* what() const noexcept override { return "std::bad_alloc"; }
    size_t requested;
};

// The size a failed allocation asked for, or 0 when it is not known.
inline size_t requested_size(const std::bad_alloc& failure) {
    const auto* sized = dynamic_cast<const AllocationFailure*>(&failure);
    return sized != nullptr ? sized->requested : 0;
}

}  // namespace morvex
