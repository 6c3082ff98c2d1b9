// Rebasing of tfdt decode times across a live sequence of fMP4 segments.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

struct FragmentedMP4Processor {
    std::optional<uint64_t> base_decode_time;
    Bytes init_segment;
};

Result<Bytes> process_segment(FragmentedMP4Processor& processor, ByteSpan segment);

}  // namespace morvex
