// Most-significant-bit-first reader with the Exp-Golomb codes of H.264 9.1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex {

struct BitReader {
    ByteSpan data;
    size_t byte_pos = 0;
    uint8_t bit_pos = 0;  // 0 is the most significant bit

    std::optional<uint32_t> bit() {
        if (byte_pos >= data.size()) return std::nullopt;
        uint32_t b = (data[byte_pos] >> (7 - bit_pos)) & 1;
        if (++bit_pos == 8) {
            bit_pos = 0;
            ++byte_pos;
        }
        return b;
    }
    std::optional<uint32_t> bits(unsigned n) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            auto b = bit();
            if (!b) return std::nullopt;
            v = (v << 1) | *b;
        }
        return v;
    }
};

// ue(v): at most 31 leading zero bits are accepted.
inline std::optional<uint32_t> read_ue(BitReader& r) {
    unsigned zeros = 0;
    for (;;) {
        auto b = r.bit();
        if (!b) return std::nullopt;
        if (*b) break;
        if (++zeros == 32) return std::nullopt;
    }
    if (zeros == 0) return 0u;
    auto rest = r.bits(zeros);
    if (!rest) return std::nullopt;
    return uint32_t(((uint64_t(1) << zeros) | *rest) - 1);
}

// se(v): codeNum k maps to (-1)^(k+1) * ceil(k / 2).
inline std::optional<int32_t> read_se(BitReader& r) {
    auto k = read_ue(r);
    if (!k) return std::nullopt;
    int64_t magnitude = (int64_t(*k) + 1) / 2;
    return int32_t((*k & 1) ? magnitude : -magnitude);
}

}  // namespace morvex
