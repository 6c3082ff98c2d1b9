// How many samples a file may describe, checked from the headers of its
// tables before anything is allocated for them.
//
// A sample costs the file at least four bytes of its own (an stsz entry, a
// trun record), or some bytes of media. Counts that come from a few bytes
// of table (an stsz of one constant size, a trun without per-sample
// records) cost nothing but the media, so a file of a few kilobytes could
// claim billions of samples, track after track. Every sample of every
// track, of the moov's tables and of every trun, therefore shares one
// file-wide budget: one sample per four bytes of the file, as dense as
// samples with a size entry can be, and one per eight for samples of no
// bytes. That keeps what a road holds per sample within a few times the
// file's size.
#pragma once

#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "isobmff/box.h"

namespace morvex {

// Counts the samples the traks among `moov_children` (through their first
// mdia, minf and stbl, as they are read) and the truns of every top-level
// moof claim. "Sample count exceeds the {n} samples the file can describe"
// when they are more than the budget; "trun sample count {c} exceeds what a
// file of {n} bytes can hold" for one trun that claims more samples than
// the file has bytes. Tables that cannot be read count nothing here: their
// readers report them.
Result<void> check_sample_budget(ByteSpan file, const std::vector<Box>& top_level,
                                 const std::vector<Box>& moov_children);

}  // namespace morvex
