#include "media/track.h"

#include <cstring>

namespace morvex {

uint8_t* write_sample(const Track& t, const Sample& s, uint8_t* p) {
    if (t.pieces) {
        if (s.nal_count == 0) {
            t.pieces->copy(s.offset, s.size, p);
            return p + s.size;
        }
        for (uint32_t k = s.first_nal; k < s.first_nal + s.nal_count; ++k) {
            const NalRange& n = t.nals[k];
            p[0] = uint8_t(n.size >> 24);
            p[1] = uint8_t(n.size >> 16);
            p[2] = uint8_t(n.size >> 8);
            p[3] = uint8_t(n.size);
            t.pieces->copy(n.offset, n.size, p + 4);
            p += 4 + n.size;
        }
        return p;
    }
    const ByteSpan src = t.source;
    if (s.nal_count == 0) {
        // The sample models only hand out samples inside their source.
        if (s.offset <= src.size() && s.size <= src.size() - s.offset) std::memcpy(p, src.data() + s.offset, s.size);
        else std::memset(p, 0, s.size);
        return p + s.size;
    }
    for (uint32_t k = s.first_nal; k < s.first_nal + s.nal_count; ++k) {
        const NalRange& n = t.nals[k];
        p[0] = uint8_t(n.size >> 24);
        p[1] = uint8_t(n.size >> 16);
        p[2] = uint8_t(n.size >> 8);
        p[3] = uint8_t(n.size);
        if (n.offset <= src.size() && n.size <= src.size() - n.offset) std::memcpy(p + 4, src.data() + n.offset, n.size);
        else std::memset(p + 4, 0, n.size);
        p += 4 + n.size;
    }
    return p;
}

}  // namespace morvex
