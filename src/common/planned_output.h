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
#include <string>

#include "common/bytes.h"

namespace morvex {

// A writer that would write outside its planned output, or ends short of it.
struct OutputOverrun : std::logic_error {
    OutputOverrun() : std::logic_error("output written past its planned size") {}
};

// The storage a planned output is written into (exactly the planned size),
// and who hears how far the writing has come: `progress`, when set, is
// called with the bytes written so far every 16 MB or so, and may throw to
// stop the writing (a caller's Ctrl-C, or its own exception).
struct OutputBuffer {
    std::span<uint8_t> bytes;
    const std::function<void(size_t)>* progress = nullptr;
    size_t reported = 0;

    size_t size() const { return bytes.size(); }
};

inline constexpr size_t kProgressStep = size_t(16) << 20;

// Where a piece of `n` bytes at `at` goes in `out`, once it is known to fit.
inline uint8_t* take(OutputBuffer& out, size_t at, size_t n) {
    if (at > out.bytes.size() || n > out.bytes.size() - at) throw OutputOverrun();
    if (out.progress && at >= out.reported + kProgressStep) {
        out.reported = at;
        (*out.progress)(at);
    }
    return out.bytes.data() + at;
}

// Checks that a piece written from `at` ended where it was planned to.
inline void check_end(OutputBuffer& out, size_t at, size_t n, const uint8_t* end) {
    if (at > out.bytes.size() || n > out.bytes.size() - at || end != out.bytes.data() + at + n) throw OutputOverrun();
}

// Copies `n` bytes to `at`, a step at a time, so that a long copy is heard.
inline void copy_to(OutputBuffer& out, size_t at, const uint8_t* from, size_t n) {
    while (n > 0) {
        const size_t step = n < kProgressStep ? n : kProgressStep;
        std::memcpy(take(out, at, step), from, step);
        at += step;
        from += step;
        n -= step;
    }
}

struct PlannedOutput {
    size_t size = 0;
    // Writes the output into its argument, which has exactly `size` bytes,
    // taking every piece through `take`.
    std::function<void(OutputBuffer&)> write;

    // Writes the output into `out`, which must have the planned size.
    void write_into(std::span<uint8_t> out, const std::function<void(size_t)>* progress = nullptr) const {
        if (out.size() != size) throw OutputOverrun();
        OutputBuffer buffer{out, progress, 0};
        write(buffer);
        if (progress) (*progress)(size);
    }

    // An output already in a buffer of its own.
    static PlannedOutput of(Bytes bytes) {
        auto held = std::make_shared<Bytes>(std::move(bytes));
        PlannedOutput p;
        p.size = held->size();
        p.write = [held](OutputBuffer& out) { copy_to(out, 0, held->data(), held->size()); };
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

// One file of an output made of several (a tree of files, as HLS and DASH
// serve them): its path, relative to the tree's root, and its plan.
struct NamedOutput {
    std::string path;
    PlannedOutput output;
};

}  // namespace morvex
