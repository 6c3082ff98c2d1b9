#include "ts/access_units.h"

#include <algorithm>

#include "codecs/h264.h"
#include "codecs/h264_sps.h"

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


// Records a parameter set: a new one, the same one again, or new contents
// for an id already seen.
void note_parameter_set(std::vector<ByteSpan>& sets, ByteSpan unit, bool& changed) {
    // trailing_zero_8bits after the NAL unit are not part of it.
    while (unit.size() > 1 && unit.back() == 0) unit = unit.first(unit.size() - 1);
    // So many different sets stand for a stream that changes them.
    if (sets.size() >= 32) {
        changed = true;
        return;
    }
    const auto id = h264::parameter_set_id(unit);
    for (ByteSpan s : sets) {
        if (std::equal(s.begin(), s.end(), unit.begin(), unit.end())) return;
        if (id && h264::parameter_set_id(s) == id) changed = true;
    }
    sets.push_back(unit);
}

}  // namespace

AccessUnits cut_access_units(ByteSpan b, bool keep_parameter_sets) {
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
        if (type == kSps) {
            if (!out.sps) out.sps = unit;
            note_parameter_set(out.sps_sets, unit, out.parameter_sets_change);
        }
        if (type == kPps) {
            if (!out.pps) out.pps = unit;
            note_parameter_set(out.pps_sets, unit, out.parameter_sets_change);
        }
        if (type != kAud && (keep_parameter_sets || (type != kSps && type != kPps))) {
            out.nals.push_back(NalRange{nal.header, uint32_t(nal.size())});
            cur.bytes += 4 + nal.size();
        }
    });
    close_unit(out, cur);
    return out;
}

}  // namespace morvex
