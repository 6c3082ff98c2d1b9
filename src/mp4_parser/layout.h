// Layout of a rebuilt regular MP4: ftyp, moov, one mdat holding each track's
// media as one block. The 32/64-bit forms (stco or co64 chunk offsets, 8- or
// 16-byte mdat header) are settled before the movie box is built for real, so
// the measuring build and the final one have the same length.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

// ftyp of every rebuilt file: major brand isom, minor version 2,
// compatible isom, iso2, avc1, mp41.
constexpr uint64_t kRebuiltFtypSize = 32;

struct Mp4Layout {
    bool co64 = false;
    uint64_t media_start = 0;  // file position of the first mdat payload byte
};

// `moov_payload_len` is the length of the movie box built with the given
// chunk offset form, `mdat_payload_len` the sum of the tracks' media.
Mp4Layout plan_layout(uint64_t moov_payload_len, uint64_t mdat_payload_len);
// Whether the file laid out with 32-bit chunk offsets would need 64-bit ones.
bool needs_co64(uint64_t moov_payload_len_stco, uint64_t mdat_payload_len);

// Chunk offset of each block: they follow one another from media_start.
std::vector<uint64_t> block_offsets(uint64_t media_start, std::span<const uint64_t> block_sizes);

// Builds the moov payload for the given chunk offsets (empty: measuring pass)
// and offset form.
using MoovBuilder = std::function<Result<Bytes>(std::span<const uint64_t> offsets, bool co64)>;

// The whole file: the measuring pass, the final pass, and the boxes.
Result<Bytes> assemble_regular_mp4(const MoovBuilder& build_moov, std::span<const ByteSpan> blocks);

}  // namespace morvex
