// H.264 parameter sets: the scan that keeps the first SPS and PPS of a
// stream, and the picture size from the SPS (H.264 7.3.2.1.1).
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.h"
#include "ts_parser/media_data.h"

namespace morvex {

struct PictureSize {
    uint16_t width;
    uint16_t height;
};

// The cropped picture size of an SPS NAL unit (header byte first), or an
// empty optional when the SPS is too short or a field cannot be read.
std::optional<PictureSize> read_sps_picture_size(ByteSpan sps);

// Scans an Annex B byte run for the first SPS and PPS not yet stored in
// `media`, storing them and the picture size of the SPS.
void scan_parameter_sets(ByteSpan annex_b, MediaData& media);

}  // namespace morvex
