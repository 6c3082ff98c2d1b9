// libFuzzer target: the transport stream roads (conversion to MP4 and the
// key frame), which must return a value or an error for any input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "roads/thumbnails.h"
#include "roads/ts_to_mp4.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::ByteSpan input(data, size);
    std::string report;
    (void)morvex::convert_ts_to_mp4(input, report);
    (void)morvex::extract_thumbnail_from_ts(input);
    return 0;
}
