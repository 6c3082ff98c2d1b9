// Fields of a track's boxes that more than one road reads: the handler type
// (hdlr, ISO/IEC 14496-12 8.4.3), the edit list (elst, 8.6.6) and the first
// sample entry of the sample description (stsd, 8.5.2).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

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

// Bytes of fixed fields before the child boxes of a sample entry: 78 for a
// visual entry (ISO/IEC 14496-12 12.1.3), 28 for an audio entry (12.2.3).
inline constexpr size_t kVisualEntryFields = 78;
inline constexpr size_t kAudioEntryFields = 28;

}  // namespace morvex
