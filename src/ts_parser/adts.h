// AAC audio in ADTS framing (ISO/IEC 14496-3 1.A.2 / ISO/IEC 13818-7 6.2).
#pragma once

#include <optional>
#include <vector>

#include "common/bytes.h"
#include "ts_parser/media_data.h"

namespace morvex {

struct AacCut {
    std::vector<Bytes> frames;        // raw AAC frames, headers removed
    size_t consumed = 0;              // bytes at the front the caller may drop
    std::optional<AdtsConfig> first;  // header fields of the first frame taken
};

// Cuts the complete ADTS frames at the front of `data`. An incomplete frame
// at the end is left for a later call. A sync word whose frame_length is
// below the 7-byte header is a false sync: the search steps past it.
AacCut extract_aac_frames(ByteSpan data);

}  // namespace morvex
