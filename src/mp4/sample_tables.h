// The sample table boxes of a regular MP4 (ISO/IEC 14496-12 8.6, 8.7),
// written from a track's samples and its chunk runs.
#pragma once

#include <span>
#include <vector>

#include "common/byte_writer.h"
#include "media/track.h"

namespace morvex {

struct ChunkRun;

// stts: run-length decoding-time deltas.
void write_stts(ByteWriter& w, std::span<const Sample> samples);
// ctts, when some composition offset is not 0; version 1 (signed) when one
// is negative.
void write_ctts_if_needed(ByteWriter& w, std::span<const Sample> samples);
// stss, unless every sample is a sync sample.
void write_stss_if_needed(ByteWriter& w, std::span<const Sample> samples);
// stsc: one entry per run of chunks with the same number of samples.
void write_stsc(ByteWriter& w, std::span<const ChunkRun> runs);
// stsz: one sample_size when every sample has it, else an entry each.
void write_stsz(ByteWriter& w, std::span<const Sample> samples);
// The auxiliary information of a protected track (each sample's IV and
// subsample layout, ISO/IEC 23001-7 7.2) carried in the stbl: a senc box
// holding every sample's, then saio with one offset, pointing at the first
// sample's in the senc, and saiz (ISO/IEC 14496-12 8.7.8, 8.7.9). Offsets
// count from the start of `w.out`, which must be the start of the file.
// With subsamples in some samples' information, the others get a count
// of 0, as senc has one layout for all.
void write_aux_info(ByteWriter& w, const Track& t);

// stco, or co64 when `co64`, with `count` zero entries; returns where the
// first entry lies, for the caller to fill in.
size_t write_chunk_offsets(ByteWriter& w, size_t count, bool co64);

}  // namespace morvex
