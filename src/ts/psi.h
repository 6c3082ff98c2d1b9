// Program-specific information: the PAT and PMT sections of H.222.0 2.4.4.
// A section that lies whole in its packet is checked against its CRC_32
// (Annex A); one that runs on into the next packet is read as far as this
// one holds it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace morvex {

struct PatEntry {
    uint16_t program_number = 0;
    uint16_t pmt_pid = 0;
};

// The programmes of a PAT packet payload (pointer_field first), in order,
// or an empty optional when the payload is no usable PAT. Entries with
// program_number 0 name the network PID (DVB's NIT) and are left out.
std::optional<std::vector<PatEntry>> parse_pat(ByteSpan payload);

struct PmtEntry {
    uint8_t stream_type = 0;
    uint16_t pid = 0;
    // Descriptors of ES_info that say what a private stream (type 0x06)
    // carries (ETSI EN 300 468 6.2): AC-3 0x6A, enhanced AC-3 0x7A,
    // teletext 0x56, subtitling 0x59.
    bool ac3_descriptor = false;
    bool eac3_descriptor = false;
    bool teletext_or_subtitles = false;
    // ISO_639_language_descriptor (0x0A, H.222.0 2.6.18): the first
    // language code, three letters; empty when none is given.
    char language[3] = {0, 0, 0};
};

struct Pmt {
    uint16_t program_number = 0;
    uint8_t version = 0;
    std::vector<PmtEntry> streams;  // in the order of the section
};

// The PMT section of a packet payload; empty when the payload is no usable
// PMT. The entries end at the CRC_32.
std::optional<Pmt> parse_pmt(ByteSpan payload);

}  // namespace morvex
