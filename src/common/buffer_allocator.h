// Allocator of the byte vectors that hold whole files. A conversion touches
// several buffers the size of its input once each; on 4 KiB pages the first
// touch of every page is a fault that costs more than the copy itself.
// Buffers of a few megabytes and more are therefore mapped directly and
// marked for transparent huge pages, which the kernel may grant or not; all
// others come from the ordinary heap. Sanitizer builds use the heap only, so
// that every buffer keeps its redzones.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "common/allocation_failure.h"

#if !defined(__SANITIZE_ADDRESS__) && defined(__linux__)
#include <sys/mman.h>
#define MORVEX_MAPPED_BUFFERS 1
#endif

namespace morvex {

inline constexpr size_t kMappedBufferThreshold = size_t(4) << 20;

inline void* allocate_buffer(size_t bytes) {
#ifdef MORVEX_MAPPED_BUFFERS
    if (bytes >= kMappedBufferThreshold) {
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw AllocationFailure(bytes);
        ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint; refused on kernels without THP
        return p;
    }
#endif
    return ::operator new(bytes);
}

inline void free_buffer(void* p, [[maybe_unused]] size_t bytes) noexcept {
#ifdef MORVEX_MAPPED_BUFFERS
    if (bytes >= kMappedBufferThreshold) {
        ::munmap(p, bytes);
        return;
    }
#endif
    ::operator delete(p);
}

template <typename T>
struct BufferAllocator {
    using value_type = T;

    BufferAllocator() = default;
    template <typename U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > size_t(-1) / sizeof(T)) throw AllocationFailure(size_t(-1));
        return static_cast<T*>(allocate_buffer(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { free_buffer(p, n * sizeof(T)); }

    // Growing a vector default-initialises the new bytes (leaves them as
    // they are) instead of zeroing them: every buffer is written in full
    // right after, and a pass of zeros over a whole file costs as much as
    // the copy itself.
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const BufferAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace morvex
