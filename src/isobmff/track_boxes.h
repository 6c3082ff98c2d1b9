// Fields of a track's boxes that more than one road reads: the handler type
// (hdlr, ISO/IEC 14496-12 8.4.3), the edit list (elst, 8.6.6) and the first
// sample entry of the sample description (stsd, 8.5.2).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/bytes.h"
#include "common/error.h"
#include "isobmff/box.h"

namespace morvex {

// handler_type follows version, flags and pre_defined.
std::optional<uint32_t> hdlr_handler_type(ByteSpan hdlr_payload);

struct Edit {
    uint64_t segment_duration = 0;  // movie timescale
    int64_t media_time = 0;         // media timescale; -1 for an empty edit
    uint32_t rate = 0x00010000;     // media_rate_integer and _fraction
};

// The entries of an elst payload; entries cut short are left out.
std::vector<Edit> read_elst(ByteSpan elst_payload);

// edts with one elst, version 1 when a value needs 64 bits.
void write_edts(ByteWriter& w, const std::vector<Edit>& edits);

// The first sample entry of an stsd box.
Result<std::optional<Box>> first_sample_entry(const Box& stsd);

// A protected sample entry (encv, enca, enct, encs: ISO/IEC 14496-12 8.12):
// the scheme of its sinf (schm scheme_type, or the entry's own type when
// it names none) and the default per-sample IV size of its tenc (ISO/IEC
// 23001-7 8.2), absent without one.
struct Protection {
    uint32_t scheme = 0;
    std::optional<uint8_t> iv_size;
};

// The protection of the first sample entry of an stsd; absent when the
// entry is not a protected one.
Result<std::optional<Protection>> sample_entry_protection(const Box& stsd);

// Sample auxiliary information (ISO/IEC 14496-12 8.7.8 saiz, 8.7.9 saio):
// its size per sample, and where it lies: one offset for the samples of a
// table or traf, or one per chunk (per trun in a traf), each followed by
// the information of the next samples back to back.
struct AuxSizes {
    uint32_t type = 0;  // aux_info_type, 0 when the box names none
    uint8_t default_size = 0;
    uint32_t count = 0;  // at most what the box holds
    ByteSpan sizes;      // one byte a sample, when default_size is 0

    uint8_t size(size_t i) const { return default_size ? default_size : sizes[i]; }
};
struct AuxOffsets {
    uint32_t type = 0;
    uint32_t count = 0;  // at most what the box holds
    bool wide = false;   // version 1: 64-bit offsets
    ByteSpan entries;

    uint64_t offset(size_t i) const {
        return wide ? load_be64(entries.data() + 8 * i) : load_be32(entries.data() + 4 * i);
    }
};
std::optional<AuxSizes> read_saiz(ByteSpan payload);
std::optional<AuxOffsets> read_saio(ByteSpan payload);

// The saiz and saio among `children` that describe the information of
// `scheme`: those that name its type, or name none (ISO/IEC 23001-7 7.1).
struct AuxBoxes {
    AuxSizes sizes;
    AuxOffsets offsets;
};
std::optional<AuxBoxes> find_aux_boxes(const std::vector<Box>& children, uint32_t scheme);

// Whether `children` hold a sample group of `grouping_type` (sbgp or sgpd,
// 8.9.2, 8.9.3).
bool has_sample_group(const std::vector<Box>& children, uint32_t grouping_type);

// Bytes of fixed fields before the child boxes of a sample entry: 78 for a
// visual entry (ISO/IEC 14496-12 12.1.3), 28 for an audio entry (12.2.3).
inline constexpr size_t kVisualEntryFields = 78;
inline constexpr size_t kAudioEntryFields = 28;

}  // namespace morvex
