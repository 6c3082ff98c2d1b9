// Locating the first IDR picture in an H.264 Annex B byte stream
// (ITU-T H.264 Annex B byte stream format, 7.3.1 NAL unit syntax).
#pragma once

#include <cstddef>
#include <optional>

#include "common/bytes.h"

namespace morvex {

// The bytes [begin, end) of the stream holding the first IDR picture: from
// the first byte of its first slice's start code up to the first byte of the
// start code that follows its last slice, or to the end of the stream.
struct ByteRange {
    size_t begin = 0;
    size_t end = 0;
};

std::optional<ByteRange> find_first_idr_picture(ByteSpan stream);

}  // namespace morvex
