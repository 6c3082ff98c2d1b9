// Helpers of the fuzz targets. Choices a target makes (an operation, where
// to split the input in two) come from the END of the input, so that a real
// file given as a seed is still read from its first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/bytes.h"

namespace morvex::fuzz {

// The input, from which trailer bytes are taken off the end.
struct Input {
    ByteSpan rest;

    // The last byte (0 when none is left), taken off.
    uint8_t take_byte() {
        if (rest.empty()) return 0;
        const uint8_t b = rest.back();
        rest = rest.first(rest.size() - 1);
        return b;
    }
    // A 32-bit big-endian word from the last four bytes, taken off.
    uint32_t take_u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(take_byte()) << (8 * i);
        return v;
    }
    // What is left, cut in two at a split word taken off the end (a split
    // past the end puts everything in the first part).
    std::pair<ByteSpan, ByteSpan> split() {
        const uint32_t at = take_u32();
        const size_t n = at < rest.size() ? at : rest.size();
        return {rest.first(n), rest.subspan(n)};
    }
};

}  // namespace morvex::fuzz
