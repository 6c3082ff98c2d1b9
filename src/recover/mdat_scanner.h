// The samples of a media data box whose sample tables are lost, found by
// reading it front to back. Recorders write each track's samples in
// chunks, one chunk after another; what parses as a video sample (see
// video_samples.h) and what parses as a raw AAC frame (see
// codecs/aac_raw_block.h) tells the chunks apart, sample by sample.
//
// Where both readings hold, the one whose next elements also parse wins.
// An element is taken as it comes while each begins where the last ended
// and is of the same kind; the first one, and one of the other kind (a
// new chunk), must have an element after it. Bytes that are neither
// (another track's samples, a sample cut short, a damaged stretch) are
// stepped over a byte at a time, and after them a sample is taken only
// when the two elements after it parse too (or the data ends), so a false
// match in the middle of noise is not taken.
// Every position is read at most a bounded number of times, and every
// attempt reads a bounded stretch, so the time is linear in the data.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "codecs/aac_raw_block.h"
#include "common/bytes.h"
#include "recover/video_samples.h"

namespace morvex {

struct ScannedPicture {
    uint64_t offset = 0;
    uint32_t size = 0;
    int32_t order = 0;     // picture order count, within its period
    uint32_t period = 0;   // counts the pictures that begin a new count (IDR, ...)
    bool key = false;
};

struct ScannedFrame {
    uint64_t offset = 0;
    uint32_t size = 0;
};

struct ScanSetup {
    std::optional<VideoFormat> video;          // no video when empty
    ParameterSetTable sets;                    // those of the reference
    std::optional<aac::RawBlockLayout> audio;  // the audio's frames are kept
    // Without a layout: the frames of the first of the usual AAC layouts
    // (LC, one or two channels, at the common rates) that parses are
    // stepped over, and not kept, so that the audio's chunks are not taken
    // for noise (where a picture would be looked for byte by byte).
    bool step_over_audio = false;
};

struct ScanResult {
    std::vector<ScannedPicture> pictures;  // in decode order
    std::vector<ScannedFrame> frames;
    ParameterSetTable sets;  // the reference's, and those met in the samples
};

// The samples of data[begin, end).
ScanResult scan_media_data(ByteSpan data, uint64_t begin, const ScanSetup& setup);

}  // namespace morvex
