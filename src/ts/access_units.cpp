#include "ts/access_units.h"

#include "codecs/h264.h"

namespace morvex {
namespace {

struct Open {
    bool open = false;  // some NAL unit belongs to the current unit
    bool has_slice = false;
    AccessUnit unit;
    uint64_t bytes = 0;
};

void close_unit(AccessUnits& out, Open& cur) {
    if (cur.open && out.nals.size() > cur.unit.first_nal) {
        cur.unit.nal_count = uint32_t(out.nals.size() - cur.unit.first_nal);
        cur.unit.bytes = uint32_t(cur.bytes);
        out.units.push_back(cur.unit);
    } else {
        out.nals.resize(cur.unit.first_nal);
    }
    cur = Open{};
    cur.unit.first_nal = uint32_t(out.nals.size());
}

}  // namespace

AccessUnits cut_access_units(ByteSpan b) {
    using namespace h264;
    AccessUnits out;
    Open cur;
    for_each_nal(b, [&](const Nal& nal) {
        const uint8_t type = nal_type(b, nal);
        const ByteSpan unit = b.subspan(nal.header, nal.size());
        const bool boundary =
            (type == kAud && cur.open) ||
            (cur.has_slice && (type == kSei || type == kSps || type == kPps ||
                               (is_slice(type) && slice_starts_picture(unit))));
        if (boundary) close_unit(out, cur);
        if (!cur.open) {
            cur.open = true;
            cur.unit.start = nal.start;
            cur.unit.first_nal = uint32_t(out.nals.size());
        }
        if (is_slice(type)) cur.has_slice = true;
        if (type == kSliceIdr) cur.unit.idr = true;
        if (type == kSps && !out.sps) out.sps = unit;
        if (type == kPps && !out.pps) out.pps = unit;
        if (type != kSps && type != kPps && type != kAud) {
            out.nals.push_back(NalRange{nal.header, uint32_t(nal.size())});
            cur.bytes += 4 + nal.size();
        }
    });
    close_unit(out, cur);
    return out;
}

}  // namespace morvex
