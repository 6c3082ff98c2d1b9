// An output whose exact size is known before a byte of it is written, so
// that the caller can hand over storage of its own (the binding: the
// result's bytes object) and the output is written once, in place.
//
// What a writer writes, and where, follows from the plan alone; the input's
// bytes are only copied. So an input rewritten by another thread while the
// output is written (a caller's bytearray, say) changes the bytes that come
// out, never how many. Every piece a writer writes is still checked against
// the planned size first (`take`), and the whole against it at the end
// (`write_into`): a writer that strays from its plan is an internal error,
// never a write outside the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>

#include "common/bytes.h"

namespace morvex {

// A writer that would write outside its planned output, or ends short of it.
struct OutputOverrun : std::logic_error {
    OutputOverrun() : std::logic_error("output written past its planned size") {}
};

// Where a piece of `n` bytes at `at` goes in `out`, once it is known to fit.
inline uint8_t* take(std::span<uint8_t> out, size_t at, size_t n) {
    if (at > out.size() || n > out.size() - at) throw OutputOverrun();
    return out.data() + at;
}

// Checks that a piece written from `at` ended where it was planned to.
inline void check_end(std::span<uint8_t> out, size_t at, size_t n, const uint8_t* end) {
    if (end != take(out, at, n) + n) throw OutputOverrun();
}

struct PlannedOutput {
    size_t size = 0;
    // Writes the output into its argument, which has exactly `size` bytes,
    // taking every piece through `take`.
    std::function<void(std::span<uint8_t>)> write;

    // Writes the output into `out`, which must have the planned size.
    void write_into(std::span<uint8_t> out) const {
        if (out.size() != size) throw OutputOverrun();
        write(out);
    }

    // An output already in a buffer of its own.
    static PlannedOutput of(Bytes bytes) {
        auto held = std::make_shared<Bytes>(std::move(bytes));
        PlannedOutput p;
        p.size = held->size();
        p.write = [held](std::span<uint8_t> out) {
            if (!held->empty()) std::memcpy(take(out, 0, held->size()), held->data(), held->size());
        };
        return p;
    }

    // The output in a new buffer.
    Bytes to_bytes() const {
        Bytes out;
        out.resize(size);
        write_into(out);
        return out;
    }
};

}  // namespace morvex
