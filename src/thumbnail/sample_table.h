// Where one sample of a track lies in the file, from the track's sample table
// (ISO/IEC 14496-12 8.6.2 stss, 8.7.3 stsz, 8.7.4 stsc, 8.7.5 stco/co64).
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "common/error.h"
#include "thumbnail/mp4_boxes.h"

namespace morvex {

struct SampleLocation {
    uint64_t offset = 0;  // file offset of the sample's first byte
    uint32_t size = 0;
};

// The number (from 1) of the track's first sync sample: the first stss entry,
// or sample 1 when the table has no stss (every sample is then a sync sample).
Result<uint32_t> first_sync_sample(ByteSpan data, const BoxRef& stbl);

// Offset and size of sample `number` (from 1) of the track whose stbl is given.
Result<SampleLocation> locate_sample(ByteSpan data, const BoxRef& stbl, uint32_t number);

}  // namespace morvex
