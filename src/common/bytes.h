// Byte ranges (borrowed input) and byte vectors (owned output).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/buffer_allocator.h"

namespace morvex {

using ByteSpan = std::span<const uint8_t>;
using Bytes = std::vector<uint8_t, BufferAllocator<uint8_t>>;

}  // namespace morvex
