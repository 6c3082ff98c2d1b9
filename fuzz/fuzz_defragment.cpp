// libFuzzer target: defragment_mp4. What it writes is a regular MP4: given
// back, it is "Not a fragmented MP4", and each track holds as many samples
// as it held in the input.
#include "common/messages.h"
#include "roads/mp4_roads.h"
#include "track_counts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const morvex::ByteSpan input(data, size);
    auto out = morvex::defragment_mp4(input);
    if (!out) return 0;
    auto again = morvex::defragment_mp4(*out);
    if (again || again.error().message != morvex::msg::kNotFragmented) __builtin_trap();
    morvex::fuzz::require_same_tracks({input}, *out);
    return 0;
}
