// An output whose exact size is known before a byte of it is written, so
// that the caller can hand over storage of its own (the binding: the
// result's bytes object) and the output is written once, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <cstring>
#include <memory>
#include <span>

#include "common/bytes.h"

namespace morvex {

struct PlannedOutput {
    size_t size = 0;
    // Writes exactly `size` bytes into its argument.
    std::function<void(std::span<uint8_t>)> write;

    // An output already in a buffer of its own.
    static PlannedOutput of(Bytes bytes) {
        auto held = std::make_shared<Bytes>(std::move(bytes));
        PlannedOutput p;
        p.size = held->size();
        p.write = [held](std::span<uint8_t> out) {
            if (!held->empty()) std::memcpy(out.data(), held->data(), held->size());
        };
        return p;
    }

    // The output in a new buffer.
    Bytes to_bytes() const {
        Bytes out;
        out.resize(size);
        write(out);
        return out;
    }
};

}  // namespace morvex
