#include "ops/slice.h"

namespace morvex {

Track slice_track(const Track& t, size_t a, size_t b) {
    Track c;
    c.track_id = t.track_id;
    c.handler = t.handler;
    c.timescale = t.timescale;
    c.source = t.source;
    c.pieces = t.pieces;
    c.trak = t.trak;
    c.nals = t.nals;
    c.nal_base = t.nal_base;
    c.source_base = t.source_base;
    c.omit_parameter_sets = t.omit_parameter_sets;
    c.protection = t.protection;
    c.tref_renames = t.tref_renames;
    c.samples.assign(t.samples.begin() + ptrdiff_t(a), t.samples.begin() + ptrdiff_t(b));
    if (t.aux_info.size() == t.samples.size())
        c.aux_info.assign(t.aux_info.begin() + ptrdiff_t(a), t.aux_info.begin() + ptrdiff_t(b));
    for (size_t k = 0; k < t.parts.size(); ++k) {
        const size_t first = t.parts[k].first, next = k + 1 < t.parts.size() ? t.parts[k + 1].first : t.samples.size();
        if (next <= a || first >= b) continue;
        Track::Part p = t.parts[k];
        p.first = uint32_t(first > a ? first - a : 0);
        c.parts.push_back(p);
    }
    return c;
}

}  // namespace morvex
