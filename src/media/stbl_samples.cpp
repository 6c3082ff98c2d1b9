#include "media/stbl_samples.h"

#include <algorithm>
#include <limits>

#include "common/byte_reader.h"
#include "common/messages.h"
#include "isobmff/fourcc.h"

namespace morvex {
namespace {

// Reader over the payload of a full box, past its version and flags.
ByteReader full_box_body(const Box& box) {
    const ByteSpan p = box.payload();
    if (p.size() < 4) return ByteReader{ByteSpan()};
    return ByteReader{p, 4};
}

Result<Box> required(const Box& stbl, uint32_t type) {
    auto b = MORVEX_TRY(find_child(stbl, type));
    if (!b) return fail(ErrorKind::NotFound, msg::box_not_found_in_container(quoted_fourcc(type)));
    return *b;
}

// stts and ctts: (sample_count, value) runs laid over the samples in order.
template <typename Apply>
void apply_runs(const Box& table, std::vector<Sample>& samples, Apply apply) {
    ByteReader r = full_box_body(table);
    auto count = r.u32();
    if (!count) return;
    size_t i = 0;
    for (uint32_t e = 0; e < *count && i < samples.size() && r.can_read(8); ++e) {
        const uint32_t n = *r.u32();
        const uint32_t value = *r.u32();
        for (uint32_t k = 0; k < n && i < samples.size(); ++k) apply(samples[i++], value);
    }
}

}  // namespace

uint32_t SampleSizes::size(size_t i) const {
    if (constant) return constant;
    switch (entry_bits) {
        case 4: return (entries[i / 2] >> (i % 2 ? 0 : 4)) & 0x0F;
        case 8: return entries[i];
        case 16: return load_be16(entries.data() + 2 * i);
        default: return load_be32(entries.data() + 4 * i);
    }
}

Result<std::optional<SampleSizes>> read_sample_sizes(ByteSpan file, const Box& stbl) {
    SampleSizes out;
    if (auto stsz = MORVEX_TRY(find_child(stbl, box::stsz))) {
        ByteReader r = full_box_body(*stsz);
        auto constant = r.u32();
        auto count = r.u32();
        if (!constant || !count) return invalid(msg::kInvalidStsz);
        out.constant = *constant;
        out.count = *count;
        out.entries = r.data.subspan(r.pos);
    } else if (auto stz2 = MORVEX_TRY(find_child(stbl, box::stz2))) {
        // reserved (24 bits), field_size, sample_count, then the entries.
        ByteReader r = full_box_body(*stz2);
        auto field = r.u32();
        auto count = r.u32();
        if (!field || !count) return invalid(msg::kInvalidStz2);
        out.entry_bits = *field & 0xFF;
        if (out.entry_bits != 4 && out.entry_bits != 8 && out.entry_bits != 16) return invalid(msg::kInvalidStz2);
        out.count = *count;
        out.entries = r.data.subspan(r.pos);
    } else {
        return std::nullopt;
    }
    // Every sample has a size entry, or at least one byte of the file.
    const bool fits = out.constant == 0 ? out.count <= out.entries.size() * 8 / out.entry_bits
                                        : out.count <= file.size() / out.constant;
    if (!fits) return invalid(msg::kNoSampleSizes);
    return out;
}

uint64_t table_duration(ByteSpan file, const Box& stbl) {
    auto sizes = read_sample_sizes(file, stbl);
    auto stts = find_child(stbl, box::stts);
    if (!sizes || !*sizes || !stts || !*stts) return 0;
    uint64_t left = (*sizes)->count, total = 0;
    ByteReader r = full_box_body(**stts);
    auto count = r.u32();
    for (uint32_t e = 0; count && e < *count && left > 0 && r.can_read(8); ++e) {
        const uint64_t n = std::min<uint64_t>(*r.u32(), left);
        const unsigned __int128 sum = (unsigned __int128)n * *r.u32() + total;
        total = sum > UINT64_MAX ? UINT64_MAX : uint64_t(sum);
        left -= n;
    }
    return total;
}

Result<std::vector<Sample>> read_stbl_samples(ByteSpan file, const Box& stbl) {
    std::vector<Sample> samples;
    auto sizes = MORVEX_TRY(read_sample_sizes(file, stbl));
    if (!sizes || sizes->count == 0) return samples;
    samples.resize(sizes->count);
    for (size_t i = 0; i < samples.size(); ++i) samples[i].size = sizes->size(i);

    // Chunks: stsc gives runs of chunks with the same number of samples,
    // stco/co64 the offset of each chunk.
    const Box stsc = MORVEX_TRY(required(stbl, box::stsc));
    ByteReader runs = full_box_body(stsc);
    auto run_count = runs.u32();
    if (!run_count || *run_count > runs.remaining() / 12) return invalid(msg::kInvalidStsc);
    auto stco = MORVEX_TRY(find_child(stbl, box::stco));
    size_t width = 4;
    if (!stco) {
        stco = MORVEX_TRY(find_child(stbl, box::co64));
        if (!stco) return fail(ErrorKind::NotFound, msg::kNoChunkOffsetBox);
        width = 8;
    }
    ByteReader offsets = full_box_body(*stco);
    auto chunk_count = offsets.u32();
    if (!chunk_count) return invalid(msg::chunk_not_found(1));
    const uint64_t chunks_present = std::min<uint64_t>(*chunk_count, offsets.remaining() / width);

    size_t next = 0;  // the next sample to place
    const uint8_t* entries = runs.data.data() + runs.pos;
    for (uint32_t e = 0; e < *run_count && next < samples.size(); ++e) {
        const uint32_t first_chunk = load_be32(entries + 12 * e);
        const uint32_t per_chunk = load_be32(entries + 12 * e + 4);
        if (first_chunk == 0) return invalid(msg::kInvalidStsc);
        if (first_chunk > chunks_present) return invalid(msg::chunk_not_found(first_chunk));
        // The last run goes on to the last chunk of the table.
        uint64_t last_chunk = chunks_present;
        if (e + 1 < *run_count) last_chunk = std::min<uint64_t>(last_chunk, load_be32(entries + 12 * (e + 1)) - 1ull);
        for (uint64_t chunk = first_chunk; chunk <= last_chunk && next < samples.size(); ++chunk) {
            if (per_chunk == 0) break;
            ByteReader at{offsets.data, offsets.pos + size_t(chunk - 1) * width};
            uint64_t pos = width == 4 ? *at.u32() : *at.u64();
            for (uint32_t k = 0; k < per_chunk && next < samples.size(); ++k) {
                Sample& s = samples[next++];
                // A sample of no bytes may sit at the very end of the file.
                if (pos > file.size() || (pos == file.size() && s.size != 0)) {
                    if (pos == std::numeric_limits<uint64_t>::max()) return invalid(msg::kSampleOutsideInput);
                    return invalid(msg::sample_offset_outside(pos));
                }
                if (s.size > file.size() - pos) return invalid(msg::kSampleExceedsMdat);
                s.offset = pos;
                pos += s.size;
            }
        }
    }
    if (next < samples.size()) {
        if (chunks_present < *chunk_count) return invalid(msg::chunk_not_found(chunks_present + 1));
        return invalid(msg::sample_not_in_stsc(next + 1));
    }

    if (auto stts = MORVEX_TRY(find_child(stbl, box::stts)))
        apply_runs(*stts, samples, [](Sample& s, uint32_t v) { s.duration = v; });
    if (auto ctts = MORVEX_TRY(find_child(stbl, box::ctts)))
        apply_runs(*ctts, samples, [](Sample& s, uint32_t v) { s.composition_offset = int32_t(v); });
    auto stss = MORVEX_TRY(find_child(stbl, box::stss));
    if (!stss) {
        for (auto& s : samples) s.sync = true;
    } else {
        ByteReader r = full_box_body(*stss);
        auto n = r.u32();
        if (!n) return invalid(msg::kInvalidStss);
        for (uint32_t i = 0; i < *n && r.can_read(4); ++i) {
            const uint32_t number = *r.u32();
            if (number >= 1 && number <= samples.size()) samples[number - 1].sync = true;
        }
    }
    return samples;
}

}  // namespace morvex
