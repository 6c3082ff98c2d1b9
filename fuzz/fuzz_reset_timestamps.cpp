// libFuzzer target: reset_mp4_timestamps. Every box keeps its length, so
// what it writes has the input's top-level boxes, of the same types and
// sizes, with one exception: a file with several moov boxes gets one moov,
// at the place of the first. Bytes after the last whole box are not kept.
#include "isobmff/box.h"
#include "isobmff/fourcc.h"
#include "roads/mp4_roads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const morvex::ByteSpan input(data, size);
    auto out = morvex::reset_mp4_timestamps(input);
    if (!out) return 0;
    auto before = morvex::top_level_boxes(input);
    auto after = morvex::top_level_boxes(*out);
    if (!before) return 0;
    if (!after) __builtin_trap();
    size_t j = 0;
    bool moov_seen = false;
    for (const auto& b : *before) {
        const bool moov = b.type == morvex::box::moov;
        if (moov && moov_seen) continue;
        if (j >= after->size() || (*after)[j].type != b.type) __builtin_trap();
        if (!moov && (*after)[j].size() != b.size()) __builtin_trap();
        moov_seen = moov_seen || moov;
        ++j;
    }
    if (j != after->size()) __builtin_trap();
    return 0;
}
