// libFuzzer target: the box layer. Every box of a file is walked as a
// container (whatever its type), down to a fixed depth; each child must lie
// inside its parent.
#include "isobmff/box.h"

namespace {
void walk(const morvex::Box& parent, int depth) {
    if (depth == 0) return;
    for (size_t skip : {size_t(0), size_t(4), size_t(8)}) {
        auto children = morvex::child_boxes(parent, skip);
        if (!children) continue;
        for (const auto& c : *children) {
            if (c.offset < parent.payload_offset() || c.end() > parent.end()) __builtin_trap();
            walk(c, depth - 1);
        }
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const morvex::ByteSpan file(data, size);
    auto boxes = morvex::top_level_boxes(file);
    if (!boxes) return 0;
    for (const auto& b : *boxes) {
        if (b.end() > size) __builtin_trap();
        walk(b, 6);
    }
    return 0;
}
