// Where a raw AAC frame ends: the syntax of raw_data_block (ISO/IEC
// 14496-3 4.4.2.1) of the general audio object types (Main, LC, SSR, LTP)
// read as far as the lengths of its parts need, without decoding a sample.
// The element sequence, ics_info, section data, scale factors, pulse, TNS,
// gain control and prediction data, and the spectral data with its Huffman
// codebooks are all read, so the frame's length comes out exact; a frame
// that breaks the syntax's rules, or whose channel elements do not make
// the channels of its configuration, is not a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codecs/aac.h"
#include "common/bytes.h"

namespace morvex::aac {

// What the frames' syntax depends on, from the AudioSpecificConfig.
struct RawBlockLayout {
    uint8_t object_type = 2;  // 1 Main, 2 LC, 3 SSR, 4 LTP
    uint8_t sampling_frequency_index = 3;  // 0-12
    uint8_t channel_configuration = 2;     // 0: any channel elements
};

// The layout of a config whose frames this parser reads: object types
// 1-4 (also as the core of SBR and PS) with 1024-sample frames.
std::optional<RawBlockLayout> raw_block_layout(const AudioSpecificConfig& config);

enum class FrameEnd {
    Found,    // `size` bytes make the frame
    Cut,      // the frame was well formed as far as the data goes
    Invalid,  // not a frame of this layout
};

struct FrameLength {
    FrameEnd end = FrameEnd::Invalid;
    size_t size = 0;
};

// The largest frame taken: 6144 bits a channel (4.5.3.1) for the eight
// channels of the largest configuration, and its fill.
inline constexpr size_t kMaxFrameBytes = 8192;

// The frame at the front of `data`. Reads at most kMaxFrameBytes.
FrameLength raw_data_block_length(ByteSpan data, const RawBlockLayout& layout);

}  // namespace morvex::aac
