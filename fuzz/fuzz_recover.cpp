// libFuzzer target: recover_mp4. The input is the broken file and a
// reference, split at a word taken off the end (an empty reference: none).
// What it writes is a regular MP4 that, recovered again, keeps every
// sample of every track.
#include <optional>

#include "fuzz_input.h"
#include "media/mp4_tracks.h"
#include "roads/recover.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace morvex;
    fuzz::Input in{{data, size}};
    const auto [broken, reference] = in.split();
    auto out = recover_mp4(broken, reference.empty() ? std::nullopt : std::optional(reference));
    if (!out) return 0;
    auto tracks = read_mp4_tracks(*out);
    auto again = recover_mp4(*out, std::nullopt);
    if (!tracks || tracks->fragmented || !again) __builtin_trap();
    auto after = read_mp4_tracks(*again);
    if (!after || after->tracks.size() != tracks->tracks.size()) __builtin_trap();
    for (size_t k = 0; k < tracks->tracks.size(); ++k)
        if (after->tracks[k].samples.size() != tracks->tracks[k].samples.size()) __builtin_trap();
    return 0;
}
