// The elementary stream descriptor of an esds box (ISO/IEC 14496-14 5.6,
// its descriptors of ISO/IEC 14496-1 7.2.6): the stream's object type and
// its decoder specific information (for AAC, the AudioSpecificConfig).
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace morvex {

struct DecoderConfig {
    uint8_t object_type = 0;  // objectTypeIndication: 0x40 MPEG-4 audio, ...
    ByteSpan specific;        // DecoderSpecificInfo, empty when there is none
};

// The DecoderConfigDescriptor inside the ES_Descriptor of an esds payload
// (after its version and flags); empty when there is none.
std::optional<DecoderConfig> decoder_config(ByteSpan esds_payload);

}  // namespace morvex
