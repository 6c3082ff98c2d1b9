// libFuzzer target: the H.264 sequence parameter set parser.
#include "codecs/h264_sps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (auto sps = morvex::h264::parse_sps(morvex::ByteSpan(data, size))) (void)sps->frame_duration_90k();
    return 0;
}
