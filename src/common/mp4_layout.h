// The 32/64-bit form of an MP4 whose media lies in one mdat after the moov
// (ISO/IEC 14496-12 4.2 largesize, 8.7.5 co64).
#pragma once

#include <cstdint>

#include "common/byte_writer.h"

namespace morvex {

// True when the mdat size or a chunk offset would not fit in 32 bits.
// `prefix_size` is every byte before the mdat (ftyp and the moov as built
// with 32-bit chunk offsets); `last_chunk_offset` is the start of the last
// chunk inside the mdat payload. Decided once, before the moov is
// finished, so its length stays what the offsets were computed from.
inline bool needs_64bit_layout(uint64_t prefix_size, uint64_t payload_size, uint64_t last_chunk_offset) {
    constexpr uint64_t kMax32 = 0xFFFFFFFFull;
    if (payload_size > kMax32 - 8) return true;
    return prefix_size + 8 + last_chunk_offset > kMax32;
}

// The mdat header: 8 bytes, or 16 with a 64-bit largesize.
inline uint64_t mdat_header_size(bool large) { return large ? 16 : 8; }

inline void write_mdat_header(ByteWriter& w, uint64_t payload_size, bool large) {
    if (large) {
        w.u32(1);
        w.fourcc("mdat");
        w.u64(payload_size + 16);
    } else {
        w.u32(uint32_t(payload_size + 8));
        w.fourcc("mdat");
    }
}

}  // namespace morvex
