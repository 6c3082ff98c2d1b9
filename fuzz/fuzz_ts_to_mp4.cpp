// libFuzzer target: convert_ts_to_mp4 (reset_timestamps changes nothing in
// the core, so one target covers both). The report is returned, not printed.
#include <string>

#include "roads/ts_to_mp4.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string report;
    (void)morvex::convert_ts_to_mp4(morvex::ByteSpan(data, size), report);
    return 0;
}
