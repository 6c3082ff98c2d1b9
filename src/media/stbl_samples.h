// Samples of a regular track from its sample table (ISO/IEC 14496-12 8.6.1.2
// stts, 8.6.1.3 ctts, 8.6.2 stss, 8.7.3 stsz/stz2, 8.7.4 stsc, 8.7.5
// stco/co64).
#pragma once

#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "isobmff/box.h"
#include "media/track.h"

namespace morvex {

// The sample sizes of a table: stsz (8.7.3.2), or else stz2 (8.7.3.3),
// whose entries are 4, 8 or 16 bits wide.
struct SampleSizes {
    uint32_t constant = 0;  // stsz sample_size: every sample's; 0 when each has an entry
    uint32_t count = 0;     // sample_count, at most what the entries hold
    unsigned entry_bits = 32;
    ByteSpan entries;

    uint32_t size(size_t i) const;
};

// The sizes of the table's samples, checked against the bytes that hold
// them: every sample has an entry, or (of a constant size) at least one
// byte of the file. Absent without stsz and stz2.
Result<std::optional<SampleSizes>> read_sample_sizes(ByteSpan file, const Box& stbl);

// The decode time at which the samples of a table end: the sum of the stts
// runs (8.6.1.2) over its samples (stsz or stz2 count them); 0 when it
// has none.
uint64_t table_duration(ByteSpan file, const Box& stbl);

// Every sample of the table, with its position in `file`. A table without
// stsz or stz2, or one that counts no sample, has none; an entry that places a
// sample outside the file, or a table that cannot describe the samples stsz
// counts, is an error. Counts are bounded by the bytes of their tables.
Result<std::vector<Sample>> read_stbl_samples(ByteSpan file, const Box& stbl);

}  // namespace morvex
