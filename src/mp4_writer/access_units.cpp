#include "mp4_writer/access_units.h"

#include "mp4_writer/annexb.h"

namespace morvex {
namespace {

constexpr uint8_t kNalSei = 6, kNalSps = 7, kNalPps = 8, kNalAud = 9, kNalIdr = 5;

bool is_slice(uint8_t type) { return type >= 1 && type <= 5; }

// first_mb_in_slice is the slice header's first field, ue(v); it is 0
// exactly when its first bit is 1.
bool starts_picture(ByteSpan b, const AnnexBNal& nal) {
    return nal.header + 1 < nal.end && (b[nal.header + 1] & 0x80);
}

struct UnitState {
    bool open = false;        // some NAL unit belongs to the current unit
    bool has_slice = false;
    bool idr = false;
    size_t first_header = 0;
    size_t first_kept = 0;    // index in nals of the first kept NAL unit
    uint64_t bytes = 0;
};

void close_unit(VideoSamples& out, UnitState& unit) {
    if (unit.open && out.nals.size() > unit.first_kept) {
        out.nal_end.push_back(out.nals.size());
        out.sizes.push_back(uint32_t(unit.bytes));
        out.sync.push_back(unit.idr ? 1 : 0);
        out.unit_start.push_back(unit.first_header);
        out.payload_size += unit.bytes;
    }
    unit = UnitState{};
    unit.first_kept = out.nals.size();
}

}  // namespace

VideoSamples cut_video_samples(ByteSpan b) {
    VideoSamples out;
    UnitState unit;
    size_t pos = 0;
    while (auto nal = next_nal(b, pos)) {
        const uint8_t type = nal_type(b, *nal);
        const bool boundary =
            (type == kNalAud && unit.open) ||
            (unit.has_slice && (type == kNalSei || type == kNalSps || type == kNalPps ||
                                (is_slice(type) && starts_picture(b, *nal))));
        if (boundary) close_unit(out, unit);
        if (!unit.open) {
            unit.open = true;
            unit.first_header = nal->header;
            unit.first_kept = out.nals.size();
        }
        if (is_slice(type)) unit.has_slice = true;
        if (type == kNalIdr) unit.idr = true;
        if (type != kNalSps && type != kNalPps && type != kNalAud) {
            const size_t size = nal->end - nal->header;
            out.nals.push_back(NalRange{nal->header, size});
            unit.bytes += 4 + size;
        }
        if (nal->end >= b.size()) break;
        pos = nal->end;
    }
    close_unit(out, unit);
    return out;
}

}  // namespace morvex
