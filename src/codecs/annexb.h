// The RBSP inside a NAL unit of H.264 and H.265, with its
// emulation-prevention bytes removed (H.264 7.4.1, H.265 7.4.2). (The Annex
// B framing itself, the same for both codecs, is split_nal_units in h264.h.)
#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.h"

namespace morvex::annexb {

// The RBSP of NAL unit bytes: every 0x03 after two zero bytes is an
// emulation-prevention byte and is dropped.
std::vector<uint8_t> unescape_rbsp(ByteSpan payload);

// The same for the first bytes of a NAL unit, into a buffer of the caller
// (headers read once a picture need no allocation): at most `capacity`
// bytes are written; returns how many.
size_t unescape_rbsp(ByteSpan payload, uint8_t* out, size_t capacity);

}  // namespace morvex::annexb
