// Bounds-checked big-endian cursor over a borrowed byte range. Every read
// checks `n <= size - pos` first, so no position arithmetic can overflow, and
// a failed read leaves the cursor where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex {

// Big-endian loads from a pointer the caller has already bounds-checked.
inline uint16_t load_be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t load_be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
inline uint32_t load_be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint64_t load_be64(const uint8_t* p) { return (uint64_t(load_be32(p)) << 32) | load_be32(p + 4); }

struct ByteReader {
    ByteSpan data;
    size_t pos = 0;

    size_t remaining() const { return data.size() - pos; }
    bool can_read(size_t n) const { return n <= data.size() - pos; }

    bool skip(size_t n) {
        if (!can_read(n)) return false;
        pos += n;
        return true;
    }
    std::optional<uint8_t> u8() {
        if (!can_read(1)) return std::nullopt;
        return data[pos++];
    }
    std::optional<uint16_t> u16() {
        if (!can_read(2)) return std::nullopt;
        uint16_t v = load_be16(data.data() + pos);
        pos += 2;
        return v;
    }
    std::optional<uint32_t> u24() {
        if (!can_read(3)) return std::nullopt;
        uint32_t v = load_be24(data.data() + pos);
        pos += 3;
        return v;
    }
    std::optional<uint32_t> u32() {
        if (!can_read(4)) return std::nullopt;
        uint32_t v = load_be32(data.data() + pos);
        pos += 4;
        return v;
    }
    std::optional<uint64_t> u64() {
        if (!can_read(8)) return std::nullopt;
        uint64_t v = load_be64(data.data() + pos);
        pos += 8;
        return v;
    }
    // A sub-range of n bytes at the cursor; empty optional when it does not fit.
    std::optional<ByteSpan> bytes(size_t n) {
        if (!can_read(n)) return std::nullopt;
        ByteSpan s = data.subspan(pos, n);
        pos += n;
        return s;
    }
};

}  // namespace morvex
