// H.265 elementary streams: the two-byte NAL unit header (H.265 7.3.1.2),
// NAL unit types (7.4.2.2, table 7-1), the first slice segment header bit
// (7.3.6.1) and where access units begin (7.4.2.4.4). The Annex B framing
// is the one of H.264 (split_nal_units, codecs/h264.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "common/bytes.h"

namespace morvex::hevc {

enum NalType : uint8_t {
    kTrailN = 0,
    kTrailR = 1,
    kTsaN = 2,
    kTsaR = 3,
    kStsaN = 4,
    kStsaR = 5,
    kRadlN = 6,
    kRadlR = 7,
    kRaslN = 8,
    kRaslR = 9,
    kBlaWLp = 16,
    kBlaWRadl = 17,
    kBlaNLp = 18,
    kIdrWRadl = 19,
    kIdrNLp = 20,
    kCraNut = 21,
    kVps = 32,
    kSps = 33,
    kPps = 34,
    kAud = 35,
    kEndOfSequence = 36,
    kEndOfBitstream = 37,
    kFiller = 38,
    kPrefixSei = 39,
    kSuffixSei = 40,
};

struct NalHeader {
    uint8_t type = 0;
    uint8_t layer_id = 0;           // nuh_layer_id
    uint8_t temporal_id_plus1 = 1;  // nuh_temporal_id_plus1, never 0
};

// The header at the front of a NAL unit; empty when fewer than two bytes are
// there, forbidden_zero_bit is set or nuh_temporal_id_plus1 is 0.
std::optional<NalHeader> parse_nal_header(ByteSpan nal_unit);

inline uint8_t nal_type_of(uint8_t first_header_byte) { return (first_header_byte >> 1) & 0x3F; }

// Coded slice segments: types 0-31 (22-31 reserved VCL types included).
inline bool is_vcl(uint8_t type) { return type < 32; }
// Intra random access points: BLA, IDR, CRA and the reserved IRAP types 22, 23.
inline bool is_irap(uint8_t type) { return type >= 16 && type <= 23; }

// first_slice_segment_in_pic_flag, the first bit after the header: the slice
// segment starts a picture. False for a unit too short to hold it.
inline bool first_slice_segment_in_pic(ByteSpan nal_unit) { return nal_unit.size() > 2 && (nal_unit[2] & 0x80); }

// Whether `nal_unit` begins a new access unit, given that the access unit
// being collected already holds a VCL NAL unit (`after_vcl`); before the
// first VCL unit nothing starts a new one. The units that do: access unit
// delimiter, VPS, SPS, PPS, prefix SEI, types 41-44 and 48-55, and the first
// slice segment of a picture. Only the base layer (nuh_layer_id 0) counts;
// units of other layers belong to the access unit of their base picture.
bool starts_access_unit(ByteSpan nal_unit, bool after_vcl);

}  // namespace morvex::hevc
