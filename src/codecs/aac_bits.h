// The bits of one raw AAC frame, most significant first, read in place.
// A read past the end fails and marks the reader `exhausted`, so that a
// frame cut short by the end of the data is told from one that is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex::aac {

struct FrameBits {
    ByteSpan data;
    size_t pos = 0;  // in bits
    bool exhausted = false;

    size_t left() const { return data.size() * 8 - pos; }

    std::optional<uint32_t> bit() {
        if (pos >= data.size() * 8) return out();
        const uint32_t b = (data[pos >> 3] >> (7 - (pos & 7))) & 1;
        ++pos;
        return b;
    }

    // n <= 32 bits.
    std::optional<uint32_t> bits(unsigned n) {
        if (n > left()) return out();
        uint64_t v = 0;
        size_t at = pos >> 3;
        const unsigned skip = unsigned(pos & 7);
        const unsigned need = (skip + n + 7) / 8;  // at most 5 bytes
        for (unsigned k = 0; k < need; ++k) v = (v << 8) | data[at + k];
        v >>= need * 8 - skip - n;
        pos += n;
        return uint32_t(v & ((uint64_t(1) << n) - 1));
    }

    bool skip(size_t n) {
        if (n > left()) {
            out();
            return false;
        }
        pos += n;
        return true;
    }

    // byte_alignment(): to the next byte of the frame.
    bool align() { return skip((8 - (pos & 7)) & 7); }

private:
    std::optional<uint32_t> out() {
        exhausted = true;
        pos = data.size() * 8;
        return std::nullopt;
    }
};

}  // namespace morvex::aac
