// Samples of a regular track from its sample table (ISO/IEC 14496-12 8.6.1.2
// stts, 8.6.1.3 ctts, 8.6.2 stss, 8.7.3 stsz, 8.7.4 stsc, 8.7.5 stco/co64).
#pragma once

#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "isobmff/box.h"
#include "media/track.h"

namespace morvex {

// Every sample of the table, with its position in `file`. A table without
// stsz, or whose stsz counts no sample, has none; an entry that places a
// sample outside the file, or a table that cannot describe the samples stsz
// counts, is an error. Counts are bounded by the bytes of their tables.
Result<std::vector<Sample>> read_stbl_samples(ByteSpan file, const Box& stbl);

}  // namespace morvex
