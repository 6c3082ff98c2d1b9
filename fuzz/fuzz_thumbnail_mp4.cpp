// libFuzzer target: the first key frame of an MP4.
#include "roads/thumbnails.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)morvex::extract_thumbnail_from_mp4(morvex::ByteSpan(data, size));
    return 0;
}
