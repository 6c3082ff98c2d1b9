// libFuzzer target: defragment_mp4. What it writes is a regular MP4: given
// back, it is "Not a fragmented MP4", and it holds as many samples as the
// tracks of the input.
#include <cstring>

#include "common/messages.h"
#include "media/mp4_tracks.h"
#include "roads/mp4_roads.h"

namespace {
size_t sample_count(morvex::ByteSpan file) {
    auto tracks = morvex::read_mp4_tracks(file);
    if (!tracks) __builtin_trap();
    size_t n = 0;
    for (const auto& t : tracks->tracks) n += t.samples.size();
    return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const morvex::ByteSpan input(data, size);
    auto out = morvex::defragment_mp4(input);
    if (!out) return 0;
    auto again = morvex::defragment_mp4(*out);
    if (again || again.error().message != morvex::msg::kNotFragmented) __builtin_trap();
    if (sample_count(*out) != sample_count(input)) __builtin_trap();
    return 0;
}
