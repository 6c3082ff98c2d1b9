// libFuzzer target: reset_mp4_timestamps. Every box keeps its length, so
// what it writes has the input's top-level boxes, of the same types and
// sizes.
#include "isobmff/box.h"
#include "roads/mp4_roads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const morvex::ByteSpan input(data, size);
    auto out = morvex::reset_mp4_timestamps(input);
    if (!out) return 0;
    auto before = morvex::top_level_boxes(input);
    auto after = morvex::top_level_boxes(*out);
    if (!before) return 0;
    if (!after || after->size() != before->size()) __builtin_trap();
    for (size_t i = 0; i < before->size(); ++i)
        if ((*after)[i].type != (*before)[i].type || (*after)[i].size() != (*before)[i].size()) __builtin_trap();
    return 0;
}
