// Box header of the ISO base media file format (ISO/IEC 14496-12 4.2): a
// 32-bit size counting the whole box, the four-character type, and, when the
// size field is 1, a 64-bit largesize after the type. A size field of 0 means
// the box runs to the end of the file; it is reported as is and left to the
// caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/byte_reader.h"
#include "common/bytes.h"

namespace morvex {

struct BoxHeader {
    uint64_t size = 0;        // whole box, header included (0: runs to the end)
    uint32_t type = 0;        // the four type bytes, big-endian
    uint8_t header_size = 8;  // 8, or 16 with a largesize
};

// Header of the box at `pos`; empty when the bytes there cannot hold it.
inline std::optional<BoxHeader> read_box_header(ByteSpan data, size_t pos) {
    if (pos > data.size()) return std::nullopt;
    ByteReader r{data, pos};
    auto size = r.u32();
    auto type = r.u32();
    if (!size || !type) return std::nullopt;
    BoxHeader h{*size, *type, 8};
    if (*size == 1) {
        auto large = r.u64();
        if (!large) return std::nullopt;
        h.size = *large;
        h.header_size = 16;
    }
    return h;
}

}  // namespace morvex
