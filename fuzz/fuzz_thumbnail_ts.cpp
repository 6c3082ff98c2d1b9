// libFuzzer target: the first key frame of a transport stream.
#include "roads/thumbnails.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)morvex::extract_thumbnail_from_ts(morvex::ByteSpan(data, size));
    return 0;
}
