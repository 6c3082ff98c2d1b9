// libFuzzer target: convert_mp4_reset_timestamps (defragment, or else reset).
#include "roads/mp4_roads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)morvex::convert_mp4_reset_timestamps(morvex::ByteSpan(data, size));
    return 0;
}
