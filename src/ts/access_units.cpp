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


}  // namespace

AccessUnits cut_access_units(const SourcePieces& es, bool keep_parameter_sets) {
    using namespace h264;
    AccessUnits out;
    Open cur;
    // Parameter sets are read whole: their bytes are gathered (they are
    // small), the rest stays where it is.
    auto parameter_set = [&](const Nal& nal, std::vector<ByteSpan>& sets, std::optional<ByteSpan>& first) {
        Bytes unit = es.gather(nal.header, size_t(nal.size()));
        // trailing_zero_8bits after the NAL unit are not part of it.
        while (unit.size() > 1 && unit.back() == 0) unit.pop_back();
        ByteSpan view(unit.data(), unit.size());
        for (ByteSpan s : sets)
            if (std::equal(s.begin(), s.end(), view.begin(), view.end())) {
                if (!first) first = s;
                return;
            }
        if (sets.size() >= 32) {  // so many different sets stand for a stream that changes them
            out.parameter_sets_change = true;
            return;
        }
        const auto id = parameter_set_id(view);
        for (ByteSpan s : sets)
            if (id && parameter_set_id(s) == id) out.parameter_sets_change = true;
        out.parameter_set_bytes.push_back(std::move(unit));
        const Bytes& kept = out.parameter_set_bytes.back();
        sets.push_back(ByteSpan(kept.data(), kept.size()));
        if (!first) first = sets.back();
    };
    for (const Nal& nal : split_nal_units(es)) {
        const uint8_t type = nal.type();
        const bool boundary = (type == kAud && cur.open) ||
                              (cur.has_slice && (type == kSei || type == kSps || type == kPps ||
                                                 (is_slice(type) && nal.starts_picture())));
        if (boundary) close_unit(out, cur);
        if (!cur.open) {
            cur.open = true;
            cur.unit.start = nal.start;
            cur.unit.first_nal = uint32_t(out.nals.size());
        }
        if (is_slice(type)) cur.has_slice = true;
        if (type == kSliceIdr) cur.unit.idr = true;
        if (type == kSps) parameter_set(nal, out.sps_sets, out.sps);
        if (type == kPps) parameter_set(nal, out.pps_sets, out.pps);
        if (type != kAud && (keep_parameter_sets || (type != kSps && type != kPps))) {
            out.nals.push_back(NalRange{nal.header, uint32_t(nal.size())});
            cur.bytes += 4 + nal.size();
        }
    }
    close_unit(out, cur);
    return out;
}

AccessUnits cut_access_units(ByteSpan b, bool keep_parameter_sets) {
    SourcePieces pieces;
    pieces.add(b);
    return cut_access_units(pieces, keep_parameter_sets);
}

}  // namespace morvex
