#include "thumbnail/sample_table.h"

#include <limits>
#include <optional>
#include <string>

#include "common/byte_reader.h"
#include "common/byte_writer.h"

namespace morvex {
namespace {

// Reader over the payload of a full box, past its version and flags.
ByteReader full_box_body(ByteSpan data, const BoxRef& box) {
    size_t begin = box.payload() < box.end ? box.payload() : box.end;
    ByteSpan payload = data.subspan(begin, box.end - begin);
    if (payload.size() < 4) return ByteReader{ByteSpan()};
    return ByteReader{payload, 4};
}

// stsz: sample_size (0 when sizes vary), sample_count, then one u32 per sample.
struct SampleSizes {
    ByteSpan data;
    BoxRef box;
    uint32_t constant = 0;
    uint32_t count = 0;
};

Result<SampleSizes> read_stsz(ByteSpan data, const BoxRef& stbl) {
    auto stsz = find_box_in_container(data, stbl, fourcc_value("stsz"));
    if (!stsz) return std::unexpected(std::move(stsz.error()));
    ByteReader r = full_box_body(data, *stsz);
    auto constant = r.u32();
    auto count = r.u32();
    if (!constant || !count) return fail(ErrorKind::InvalidData, "Invalid stsz box");
    return SampleSizes{data, *stsz, *constant, *count};
}

// Size of sample `index` (from 0).
Result<uint32_t> sample_size(const SampleSizes& sizes, uint64_t index) {
    if (sizes.constant != 0) return sizes.constant;
    ByteReader r = full_box_body(sizes.data, sizes.box);
    if (index >= sizes.count || !r.skip(8) || index > r.remaining() / 4)
        return fail(ErrorKind::InvalidData, "Invalid stsz box - no sample sizes");
    r.skip(size_t(index) * 4);
    auto size = r.u32();
    if (!size) return fail(ErrorKind::InvalidData, "Invalid stsz box - no sample sizes");
    return *size;
}

// The chunk (from 1) holding sample `number`, and the number of the chunk's
// first sample, from the runs of stsc: each entry gives the first chunk of a
// run of chunks that hold the same number of samples.
struct ChunkOfSample {
    uint64_t chunk = 0;
    uint64_t first_sample = 0;
};

Result<ChunkOfSample> chunk_of_sample(ByteSpan data, const BoxRef& stbl, uint32_t number) {
    auto stsc = find_box_in_container(data, stbl, fourcc_value("stsc"));
    if (!stsc) return std::unexpected(std::move(stsc.error()));
    ByteReader r = full_box_body(data, *stsc);
    auto count = r.u32();
    if (!count || *count > r.remaining() / 12) return fail(ErrorKind::InvalidData, "Invalid stsc box");
    // Entries: first_chunk, samples_per_chunk, sample_description_index.
    ByteSpan entries = *r.bytes(size_t(*count) * 12);
    const uint64_t wanted = number - 1;  // samples before the wanted one
    uint64_t before = 0;                 // samples in the runs already passed
    for (size_t i = 0; i < *count; ++i) {
        uint32_t first_chunk = load_be32(&entries[i * 12]);
        uint32_t per_chunk = load_be32(&entries[i * 12 + 4]);
        if (first_chunk == 0) return fail(ErrorKind::InvalidData, "Invalid stsc box");
        // The last run goes on to the last chunk of the track.
        uint64_t chunks = std::numeric_limits<uint32_t>::max();
        if (i + 1 < *count) {
            uint32_t next_first = load_be32(&entries[(i + 1) * 12]);
            chunks = next_first > first_chunk ? next_first - first_chunk : 0;
        }
        uint64_t in_run = chunks * per_chunk;  // both below 2^32
        if (wanted - before < in_run) {
            uint64_t k = wanted - before;
            return ChunkOfSample{first_chunk + k / per_chunk, number - k % per_chunk};
        }
        before += in_run;
    }
    return fail(ErrorKind::InvalidData, "Sample " + std::to_string(number) + " not found in stsc box");
}

// File offset of chunk `chunk` (from 1): stco holds 32-bit offsets, co64
// 64-bit ones.
Result<uint64_t> chunk_offset(ByteSpan data, const BoxRef& stbl, uint64_t chunk) {
    auto stco = find_child_if_any(data, stbl, fourcc_value("stco"));
    if (!stco) return std::unexpected(std::move(stco.error()));
    std::optional<BoxRef> table = *stco;
    size_t width = 4;
    if (!table) {
        auto co64 = find_child_if_any(data, stbl, fourcc_value("co64"));
        if (!co64) return std::unexpected(std::move(co64.error()));
        if (!*co64) return fail(ErrorKind::NotFound, "No chunk offset box (stco or co64) in video track");
        table = *co64;
        width = 8;
    }
    ByteReader r = full_box_body(data, *table);
    auto count = r.u32();
    if (!count || chunk > *count || chunk - 1 >= r.remaining() / width)
        return fail(ErrorKind::InvalidData, "Chunk " + std::to_string(chunk) + " not found in chunk offset box");
    r.skip(size_t(chunk - 1) * width);
    if (width == 4) return uint64_t(*r.u32());
    return *r.u64();
}

}  // namespace

Result<uint32_t> first_sync_sample(ByteSpan data, const BoxRef& stbl) {
    auto stss = find_child_if_any(data, stbl, fourcc_value("stss"));
    if (!stss) return std::unexpected(std::move(stss.error()));
    if (!*stss) return 1u;
    ByteReader r = full_box_body(data, **stss);
    auto count = r.u32();
    auto first = r.u32();
    if (count && *count == 0) return fail(ErrorKind::NotFound, "No sync sample in video track");
    if (!count || !first || *first == 0) return fail(ErrorKind::InvalidData, "Invalid stss box");
    return *first;
}

Result<SampleLocation> locate_sample(ByteSpan data, const BoxRef& stbl, uint32_t number) {
    auto sizes = read_stsz(data, stbl);
    if (!sizes) return std::unexpected(std::move(sizes.error()));
    auto chunk = chunk_of_sample(data, stbl, number);
    if (!chunk) return std::unexpected(std::move(chunk.error()));
    auto size = sample_size(*sizes, number - 1);
    if (!size) return std::unexpected(std::move(size.error()));
    auto base = chunk_offset(data, stbl, chunk->chunk);
    if (!base) return std::unexpected(std::move(base.error()));

    // The samples before the wanted one in its chunk lie in front of it.
    uint64_t offset = *base;
    const uint64_t ahead = number - chunk->first_sample;
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    if (sizes->constant != 0) {
        uint64_t skipped = ahead * sizes->constant;  // both below 2^32
        if (skipped > limit - offset) return fail(ErrorKind::InvalidData, "Sample offset lies outside the input");
        offset += skipped;
    } else {
        for (uint64_t i = chunk->first_sample - 1; i < number - 1; ++i) {
            auto s = sample_size(*sizes, i);
            if (!s) return std::unexpected(std::move(s.error()));
            if (*s > limit - offset) return fail(ErrorKind::InvalidData, "Sample offset lies outside the input");
            offset += *s;
        }
    }
    return SampleLocation{offset, *size};
}

}  // namespace morvex
