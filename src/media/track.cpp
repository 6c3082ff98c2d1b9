#include "media/track.h"

#include <algorithm>
#include <cstring>

namespace morvex {

namespace {

// The bytes of [offset, offset + size) of the track's source at `out`.
void copy_from_source(const Track& t, uint64_t offset, uint32_t size, uint8_t* out) {
    if (t.pieces) {
        t.pieces->copy(offset, size, out);
        return;
    }
    // The sample models only hand out samples inside their source.
    const ByteSpan src = t.source;
    if (offset >= t.source_base) offset -= t.source_base;
    else offset = UINT64_MAX;
    if (offset <= src.size() && size <= src.size() - offset) std::memcpy(out, src.data() + offset, size);
    else std::memset(out, 0, size);
}

}  // namespace

uint8_t* write_sample(const Track& t, const Sample& s, uint8_t* p) {
    if (s.nal_count == 0) {
        copy_from_source(t, s.offset, s.size, p);
        return p + s.size;
    }
    for (uint32_t i = 0; i < s.nal_count; ++i) {
        const uint64_t k = s.first_nal + i - t.nal_base;
        if (k >= t.nals.size()) break;
        const NalRange& n = t.nals[k];
        if (t.omit_parameter_sets && n.parameter_set) continue;
        p[0] = uint8_t(n.size >> 24);
        p[1] = uint8_t(n.size >> 16);
        p[2] = uint8_t(n.size >> 8);
        p[3] = uint8_t(n.size);
        copy_from_source(t, n.offset, n.size, p + 4);
        p += 4 + n.size;
    }
    return p;
}

const Track::Part* part_of(const Track& t, uint32_t index) {
    if (t.parts.empty()) return nullptr;
    auto it = std::upper_bound(t.parts.begin(), t.parts.end(), index,
                               [](uint32_t i, const Track::Part& p) { return i < p.first; });
    return it == t.parts.begin() ? nullptr : &*(it - 1);
}

}  // namespace morvex
