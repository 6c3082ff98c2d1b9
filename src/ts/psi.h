// Program-specific information: the PAT and PMT sections of H.222.0 2.4.4.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace morvex {

// PID of the first programme's PMT from a PAT packet payload (pointer_field
// first), or an empty optional when the payload is no usable PAT. Entries
// with program_number 0 name the network PID (DVB's NIT) and are skipped.
std::optional<uint16_t> parse_pat(ByteSpan payload);

struct PmtEntry {
    uint8_t stream_type = 0;
    uint16_t pid = 0;
    // Descriptors of ES_info that say what a private stream (type 0x06)
    // carries (ETSI EN 300 468 6.2): AC-3 0x6A, enhanced AC-3 0x7A,
    // teletext 0x56, subtitling 0x59.
    bool ac3_descriptor = false;
    bool eac3_descriptor = false;
    bool teletext_or_subtitles = false;
};

// The elementary streams of a PMT packet payload, in order; empty when the
// payload is no usable PMT. The entries end at the CRC_32.
std::vector<PmtEntry> parse_pmt(ByteSpan payload);

}  // namespace morvex
