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


// What a NAL unit is to the access-unit cutter.
struct Role {
    bool vcl = false;
    bool starts_picture = false;  // a slice (segment) that begins a picture
    bool random_access = false;
    bool delimiter = false;
    bool opens_unit = false;      // begins a new unit when it follows a slice
    int parameter_set = -1;       // 0 VPS, 1 SPS, 2 PPS
};

Role role_of(VideoCodec codec, const h264::Nal& nal) {
    Role r;
    if (codec == VideoCodec::H264) {
        using namespace h264;
        const uint8_t type = nal.type();
        r.vcl = is_slice(type);
        r.starts_picture = r.vcl && nal.starts_picture();
        r.random_access = type == kSliceIdr;
        r.delimiter = type == kAud;
        r.opens_unit = type == kSei || type == kSps || type == kPps;
        r.parameter_set = type == kSps ? 1 : type == kPps ? 2 : -1;
        return r;
    }
    // HEVC: nal_unit_type is 6 bits after the forbidden bit of a two-byte
    // header; first_slice_segment_in_pic_flag is the first bit after it.
    const uint8_t type = (nal.header_byte >> 1) & 0x3F;
    r.vcl = type < 32;
    r.starts_picture = r.vcl && nal.end > nal.header + 2 && (nal.third_byte & 0x80);
    r.random_access = type >= 16 && type <= 23;
    r.delimiter = type == 35;
    r.opens_unit = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
    r.parameter_set = type == 32 ? 0 : type == 33 ? 1 : type == 34 ? 2 : -1;
    return r;
}

}  // namespace

AccessUnits cut_access_units(const SourcePieces& es, bool keep_parameter_sets, VideoCodec codec) {
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
        // A second set under an id already seen (HEVC: a second set of a
        // kind) replaces the first one in the middle of the stream.
        if (codec == VideoCodec::Hevc) {
            if (!sets.empty()) out.parameter_sets_change = true;
        } else {
            const auto id = parameter_set_id(view);
            for (ByteSpan s : sets)
                if (id && parameter_set_id(s) == id) out.parameter_sets_change = true;
        }
        out.parameter_set_bytes.push_back(std::move(unit));
        const Bytes& kept = out.parameter_set_bytes.back();
        sets.push_back(ByteSpan(kept.data(), kept.size()));
        if (!first) first = sets.back();
    };
    for (const Nal& nal : split_nal_units(es)) {
        const Role role = role_of(codec, nal);
        const bool boundary = (role.delimiter && cur.open) ||
                              (cur.has_slice && (role.opens_unit || role.starts_picture));
        if (boundary) close_unit(out, cur);
        if (!cur.open) {
            cur.open = true;
            cur.unit.start = nal.start;
            cur.unit.first_nal = uint32_t(out.nals.size());
        }
        if (role.vcl) cur.has_slice = true;
        if (role.random_access) cur.unit.idr = true;
        if (role.parameter_set == 0) parameter_set(nal, out.vps_sets, out.vps);
        if (role.parameter_set == 1) parameter_set(nal, out.sps_sets, out.sps);
        if (role.parameter_set == 2) parameter_set(nal, out.pps_sets, out.pps);
        if (!role.delimiter && (keep_parameter_sets || role.parameter_set < 0)) {
            out.nals.push_back(NalRange{nal.header, uint32_t(nal.size())});
            cur.bytes += 4 + nal.size();
        }
    }
    close_unit(out, cur);
    return out;
}

AccessUnits cut_access_units(ByteSpan b, bool keep_parameter_sets, VideoCodec codec) {
    SourcePieces pieces;
    pieces.add(b);
    return cut_access_units(pieces, keep_parameter_sets, codec);
}

}  // namespace morvex
