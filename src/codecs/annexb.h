// The RBSP inside a NAL unit of H.264 and H.265, with its
// emulation-prevention bytes removed (H.264 7.4.1, H.265 7.4.2). (The Annex
// B framing itself, the same for both codecs, is split_nal_units in h264.h.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/bytes.h"

namespace morvex::annexb {

// The RBSP of NAL unit bytes: every 0x03 after two zero bytes is an
// emulation-prevention byte and is dropped.
std::vector<uint8_t> unescape_rbsp(ByteSpan payload);

// The first bytes of the RBSP, as many as `out` holds, without allocating:
// enough for the fields at the front of a slice header. Returns how many
// were written.
size_t unescape_rbsp_prefix(ByteSpan payload, std::span<uint8_t> out);

}  // namespace morvex::annexb
