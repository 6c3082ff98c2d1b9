// The boxes of movie fragments (ISO/IEC 14496-12 8.8): the track extends
// defaults `trex` (8.8.3), the track fragment header `tfhd` (8.8.7), the
// track run `trun` (8.8.8) and the decode time `tfdt` (8.8.12).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "isobmff/box.h"

namespace morvex {

// tf_flags of tfhd
inline constexpr uint32_t kTfBaseDataOffset = 0x01, kTfSampleDescription = 0x02, kTfDefaultDuration = 0x08,
                          kTfDefaultSize = 0x10, kTfDefaultFlags = 0x20, kTfDefaultBaseIsMoof = 0x020000;
// tr_flags of trun
inline constexpr uint32_t kTrDataOffset = 0x001, kTrFirstSampleFlags = 0x004, kTrSampleDuration = 0x100,
                          kTrSampleSize = 0x200, kTrSampleFlags = 0x400, kTrSampleCts = 0x800;

struct SampleDefaults {
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
};

// One sample as a run describes it.
struct RunSample {
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;               // sample flags word of 8.8.3.1
    uint32_t composition_offset = 0;  // as stored; signed in a version-1 trun
};

// Sync sample rule of 8.6.2 with the sample flags of 8.8.3.1: neither
// sample_is_non_sync_sample nor sample_depends_on == 1.
constexpr bool is_sync_sample(uint32_t flags) { return (flags & 0x00010000u) == 0 && ((flags >> 24) & 3u) != 1; }

// The fields of a tfhd; an absent optional falls back to trex.
struct TfhdFields {
    uint32_t track_id = 0;
    uint32_t tf_flags = 0;
    std::optional<uint64_t> base_data_offset;
    std::optional<uint32_t> duration, size, flags;
};

// A trun with its fixed fields read; `records` holds the per-sample records.
struct TrunFields {
    uint8_t version = 0;
    uint32_t tr_flags = 0;
    uint32_t sample_count = 0;
    std::optional<int32_t> data_offset;
    std::optional<uint32_t> first_sample_flags;
    ByteSpan records;
    size_t stride = 0;  // bytes per sample record

    // Samples whose records are present (all of them when there are no records).
    uint64_t present() const { return stride ? std::min<uint64_t>(sample_count, records.size() / stride) : sample_count; }
    RunSample sample(size_t i, const SampleDefaults& d) const;
};

// The merged tfhd of a traf (every tfhd of at least 8 bytes, in order).
TfhdFields read_traf_header(const std::vector<Box>& traf_children);
std::optional<TrunFields> read_trun(ByteSpan payload);
SampleDefaults merge_defaults(const TfhdFields& tfhd, const SampleDefaults& trex);
// The trex defaults of every track among the children of moov, looked up
// by track_ID (the first trex of a track counts); zeros for a track
// without one.
struct TrexTable {
    std::unordered_map<uint32_t, SampleDefaults> by_track;

    SampleDefaults of(uint32_t track_id) const {
        auto it = by_track.find(track_id);
        return it == by_track.end() ? SampleDefaults{} : it->second;
    }
};
TrexTable read_trex_table(const std::vector<Box>& moov_children);

// tfdt: baseMediaDecodeTime, 64 bits wide in version 1 and 32 otherwise.
struct Tfdt {
    uint64_t time = 0;
    bool wide = false;
};
std::optional<Tfdt> read_tfdt(ByteSpan payload);
// Writes `time` into a tfdt payload in place (a version-0 field is
// truncated to 32 bits, as the box holds no more).
void patch_tfdt(std::span<uint8_t> payload, const Tfdt& tfdt, uint64_t time);

}  // namespace morvex
