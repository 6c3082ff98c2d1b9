#include "mp4/sample_tables.h"

#include <algorithm>
#include <vector>

#include "mp4/regular_writer.h"

namespace morvex {
namespace {

// entry_count, then (sample_count, value) per run of equal values.
template <typename Field>
void write_runs(ByteWriter& w, std::span<const Sample> samples, Field field) {
    const size_t count_at = w.out.size();
    w.u32(0);
    uint32_t entries = 0;
    for (size_t i = 0; i < samples.size();) {
        size_t j = i + 1;
        while (j < samples.size() && field(samples[j]) == field(samples[i])) ++j;
        w.u32(uint32_t(j - i));
        w.u32(uint32_t(field(samples[i])));
        ++entries;
        i = j;
    }
    w.patch_u32(count_at, entries);
}

}  // namespace

void write_stts(ByteWriter& w, std::span<const Sample> samples) {
    size_t m = w.begin_full_box("stts", 0, 0);
    write_runs(w, samples, [](const Sample& s) { return s.duration; });
    w.end_box(m);
}

void write_ctts_if_needed(ByteWriter& w, std::span<const Sample> samples) {
    bool any = false, negative = false;
    for (const auto& s : samples) {
        any |= s.composition_offset != 0;
        negative |= s.composition_offset < 0;
    }
    if (!any) return;
    size_t m = w.begin_full_box("ctts", negative ? 1 : 0, 0);
    write_runs(w, samples, [](const Sample& s) { return s.composition_offset; });
    w.end_box(m);
}

void write_stss_if_needed(ByteWriter& w, std::span<const Sample> samples) {
    bool all = true;
    for (const auto& s : samples) all &= s.sync;
    if (all) return;
    size_t m = w.begin_full_box("stss", 0, 0);
    const size_t count_at = w.out.size();
    w.u32(0);
    uint32_t count = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (!samples[i].sync) continue;
        w.u32(uint32_t(i + 1));
        ++count;
    }
    w.patch_u32(count_at, count);
    w.end_box(m);
}

void write_stsc(ByteWriter& w, std::span<const ChunkRun> runs) {
    size_t m = w.begin_full_box("stsc", 0, 0);
    w.u32(uint32_t(runs.size()));
    uint64_t first_chunk = 1;
    for (const auto& run : runs) {
        w.u32(uint32_t(first_chunk));
        w.u32(run.samples_per_chunk);
        w.u32(run.description);  // sample_description_index
        first_chunk += run.chunks;
    }
    w.end_box(m);
}

void write_stsz(ByteWriter& w, std::span<const Sample> samples) {
    size_t m = w.begin_full_box("stsz", 0, 0);
    // One size for all when they share it (and it is not 0, which would
    // say that the sizes follow).
    const bool constant = !samples.empty() && samples.front().size != 0 &&
                          std::all_of(samples.begin(), samples.end(),
                                      [&](const Sample& s) { return s.size == samples.front().size; });
    w.u32(constant ? samples.front().size : 0);
    w.u32(uint32_t(samples.size()));
    if (!constant) {
        w.out.reserve(w.out.size() + 4 * samples.size());
        for (const auto& s : samples) w.u32(s.size);
    }
    w.end_box(m);
}

void write_aux_info(ByteWriter& w, const Track& t) {
    const uint8_t iv_size = t.protection && t.protection->iv_size ? *t.protection->iv_size : 0;
    bool subsamples = false;
    for (const auto& a : t.aux_info) subsamples |= a.size > iv_size;
    // senc flags 0x2: UseSubSampleEncryption (a subsample count follows each IV).
    size_t m = w.begin_full_box("senc", 0, subsamples ? 2 : 0);
    w.u32(uint32_t(t.aux_info.size()));
    const size_t first = w.out.size();
    std::vector<uint8_t> sizes;
    sizes.reserve(t.aux_info.size());
    for (const auto& a : t.aux_info) {
        w.bytes(t.source.subspan(size_t(a.offset), a.size));
        const bool pad = subsamples && a.size == iv_size;
        if (pad) w.u16(0);
        sizes.push_back(uint8_t(a.size + (pad ? 2 : 0)));
    }
    w.end_box(m);
    m = w.begin_full_box("saio", 0, 0);
    w.u32(1);
    w.u32(uint32_t(first));
    w.end_box(m);
    // default_sample_info_size, or 0 when the sizes follow.
    const bool same = std::all_of(sizes.begin(), sizes.end(), [&](uint8_t n) { return n == sizes.front(); });
    const uint8_t one_size = same && !sizes.empty() ? sizes.front() : 0;
    m = w.begin_full_box("saiz", 0, 0);
    w.u8(one_size);
    w.u32(uint32_t(sizes.size()));
    if (one_size == 0) w.bytes(sizes);
    w.end_box(m);
}

size_t write_chunk_offsets(ByteWriter& w, size_t count, bool co64) {
    size_t m = w.begin_full_box(co64 ? "co64" : "stco", 0, 0);
    w.u32(uint32_t(count));
    const size_t first = w.out.size();
    w.zeros(count * (co64 ? 8 : 4));
    w.end_box(m);
    return first;
}

}  // namespace morvex
