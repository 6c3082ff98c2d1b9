// Dolby AC-3 and E-AC-3 audio: the syncframe headers (ETSI TS 102 366 4.4.1
// and E.1.2: syncinfo and the start of bsi) and the dac3 and dec3 boxes that
// configure them in MP4 (ETSI TS 102 366 F.4 and F.6).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_writer.h"
#include "common/bytes.h"

namespace morvex::ac3 {

// Samples of an AC-3 syncframe, and of an E-AC-3 audio frame of six blocks.
inline constexpr uint32_t kSamplesPerFrame = 1536;

enum StreamType : uint8_t {  // strmtyp of E-AC-3
    kIndependent = 0,
    kDependent = 1,
    kAc3Converted = 2,  // independent, converted from an AC-3 stream
};

struct FrameHeader {
    bool enhanced = false;  // E-AC-3 (bsid 11-16); AC-3 otherwise (bsid 0-8)
    uint8_t bsid = 8;
    uint8_t fscod = 0;        // 3 in E-AC-3 frames of the half rates (fscod2)
    uint8_t frmsizecod = 0;   // AC-3 only
    uint8_t bsmod = 0;
    uint8_t acmod = 2;
    bool lfeon = false;
    uint32_t sample_rate = 48000;
    uint32_t frame_size = 0;  // bytes, syncword included
    uint16_t samples = kSamplesPerFrame;
    // E-AC-3 only.
    uint8_t strmtyp = kIndependent;
    uint8_t substreamid = 0;
    uint16_t chanmap = 0;  // dependent substreams with chanmape; 0 otherwise

    // Bit rate in bits a second.
    uint32_t bit_rate() const { return uint32_t(uint64_t(frame_size) * 8 * sample_rate / samples); }
};

// The header at the front of `b`: sync word 0x0B77, a bsid of AC-3 or
// E-AC-3, a sample rate and a frame size that are not reserved. Empty
// otherwise (also when `b` ends before the fields). The frame itself may
// extend past `b`.
std::optional<FrameHeader> parse_frame_header(ByteSpan b);

// The size of the frame starting at `offset` when a valid header begins
// there and the whole frame lies inside `b`.
std::optional<size_t> frame_at(ByteSpan b, size_t offset);

// Full-bandwidth channels of acmod (table 4.3) plus the LFE channel.
uint16_t channel_count(uint8_t acmod, bool lfeon);

// The E-AC-3 configuration of dec3: per independent substream, its format
// and the dependent substreams that extend it.
struct Eac3Substream {
    uint8_t fscod = 0;
    uint8_t bsid = 16;
    uint8_t bsmod = 0;
    uint8_t acmod = 2;
    bool lfeon = false;
    uint8_t num_dep_sub = 0;
    uint16_t chan_loc = 0;  // 9 bits: the channels the dependent substreams add
};

struct Eac3Config {
    uint16_t data_rate = 0;  // kbit/s of all substreams together
    std::vector<Eac3Substream> substreams;  // independent substreams 0..n-1

    // channel_count of the first independent substream and the channels its
    // dependent substreams add.
    uint16_t channel_count() const;
    uint32_t sample_rate() const;
};

// The configuration of an E-AC-3 stream from the syncframes at the front of
// `b`: those of one audio frame, from independent substream 0 to the next
// frame of independent substream 0 (or the end of `b`). Empty when `b` does
// not start with a whole E-AC-3 frame of independent substream 0.
std::optional<Eac3Config> eac3_config(ByteSpan b);

// dac3 of an AC-3 stream, from one of its frames.
void write_dac3_box(ByteWriter& w, const FrameHeader& frame);
void write_dec3_box(ByteWriter& w, const Eac3Config& config);

}  // namespace morvex::ac3
