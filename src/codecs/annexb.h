// The RBSP inside a NAL unit of H.264 and H.265, with its
// emulation-prevention bytes removed (H.264 7.4.1, H.265 7.4.2). (The Annex
// B framing itself, the same for both codecs, is split_nal_units in h264.h.)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/bytes.h"

namespace morvex::annexb {

// The RBSP of NAL unit bytes: every 0x03 after two zero bytes is an
// emulation-prevention byte and is dropped.
std::vector<uint8_t> unescape_rbsp(ByteSpan payload);

// The first bytes of a NAL unit's RBSP after its header (`header_bytes`:
// 1 in H.264, 2 in H.265), unescaped without allocating: enough for the
// fields at the front of a slice header, a few dozen bytes.
struct RbspFront {
    std::array<uint8_t, 48> bytes{};
    size_t size = 0;
    ByteSpan view() const { return ByteSpan(bytes.data(), size); }
};
RbspFront rbsp_front(ByteSpan nal_unit, size_t header_bytes);

}  // namespace morvex::annexb
