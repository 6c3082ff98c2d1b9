// Box headers walked directly in a regular MP4 file (ISO/IEC 14496-12 4.2),
// for the few boxes on the path to one sample. The 32-bit size and the 64-bit
// largesize are read; a size below the header's own length (0 included) is
// refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

struct BoxRef {
    size_t pos = 0;     // first header byte
    size_t header = 8;  // 8, or 16 with a largesize
    size_t end = 0;     // one past the last byte, clamped to the enclosing range
    uint32_t type = 0;

    size_t payload() const { return pos + header; }
};

// First box of `type` at the top level of `data`.
Result<BoxRef> find_box(ByteSpan data, uint32_t type);

// First direct child of `type` of `container`.
Result<BoxRef> find_box_in_container(ByteSpan data, const BoxRef& container, uint32_t type);

// The same, with an absent child as an empty result rather than an error; a
// malformed box on the way is still an error.
Result<std::optional<BoxRef>> find_child_if_any(ByteSpan data, const BoxRef& container, uint32_t type);

// The child box that starts at `pos` inside [pos, end), or no box when fewer
// than 8 bytes are left. Fails with "Invalid box size" on a size too small.
Result<std::optional<BoxRef>> box_at(ByteSpan data, size_t pos, size_t end);

}  // namespace morvex
