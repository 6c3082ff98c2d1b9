#include "ts/access_units.h"

#include <algorithm>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"
#include "codecs/h264_sps.h"
#include "codecs/hevc.h"

namespace morvex {
namespace {

// Parameter sets are read whole: their bytes are gathered (they are
// small), the rest stays where it is.
void note_parameter_set(ParameterSets& p, VideoCodec codec, int kind, Bytes unit) {
    // trailing_zero_8bits after the NAL unit are not part of it.
    while (unit.size() > 1 && unit.back() == 0) unit.pop_back();
    std::vector<ByteSpan>& sets = kind == 0 ? p.vps : kind == 1 ? p.sps : p.pps;
    const ByteSpan view(unit.data(), unit.size());
    for (ByteSpan s : sets)
        if (std::equal(s.begin(), s.end(), view.begin(), view.end())) return;
    if (sets.size() >= 32) {  // so many different sets stand for a stream that changes them
        p.change = true;
        return;
    }
    // A second set under an id already seen (HEVC: a second set of a kind)
    // replaces the first one in the middle of the stream.
    if (codec == VideoCodec::Hevc) {
        if (!sets.empty()) p.change = true;
    } else {
        const auto id = h264::parameter_set_id(view);
        for (ByteSpan s : sets)
            if (id && h264::parameter_set_id(s) == id) p.change = true;
    }
    p.storage.push_back(std::move(unit));
    const Bytes& kept = p.storage.back();
    sets.push_back(ByteSpan(kept.data(), kept.size()));
}

// Whether an H.264 SEI NAL unit (7.3.2.3) holds a recovery point message
// (payloadType 6, D.1.8). Only its first bytes are read.
bool holds_recovery_point(const SourcePieces& es, const h264::Nal& nal) {
    const size_t n = size_t(std::min<uint64_t>(nal.size(), 256));
    const Bytes head = es.gather(nal.header, n);
    const std::vector<uint8_t> rbsp = annexb::unescape_rbsp(ByteSpan(head).subspan(1));
    size_t pos = 0;
    while (pos < rbsp.size() && rbsp[pos] != 0x80) {  // rbsp_trailing_bits
        uint32_t type = 0, size = 0;
        while (pos < rbsp.size() && rbsp[pos] == 0xFF) type += 255, ++pos;
        if (pos >= rbsp.size()) return false;
        type += rbsp[pos++];
        while (pos < rbsp.size() && rbsp[pos] == 0xFF) size += 255, ++pos;
        if (pos >= rbsp.size()) return false;
        size += rbsp[pos++];
        if (type == 6) return true;
        if (size > rbsp.size() - pos) return false;
        pos += size;
    }
    return false;
}

}  // namespace

void NalList::drop_before(uint64_t index) {
    if (index <= base) return;
    const size_t n = size_t(std::min<uint64_t>(index - base, ranges.size()));
    // The storage is given back once half of it is dropped.
    if (n * 2 < ranges.size() && n < 4096) return;
    ranges.erase(ranges.begin(), ranges.begin() + ptrdiff_t(n));
    base += n;
}

NalRole role_of(VideoCodec codec, const h264::Nal& nal) {
    NalRole r;
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
    using namespace hevc;
    const uint8_t type = nal_type_of(nal.header_byte);
    r.vcl = is_vcl(type);
    // first_slice_segment_in_pic_flag is the first bit after the two-byte
    // header.
    r.starts_picture = r.vcl && nal.end > nal.header + 2 && (nal.third_byte & 0x80);
    r.random_access = is_irap(type);
    r.delimiter = type == kAud;
    r.opens_unit = (type >= kVps && type <= kAud) || type == kPrefixSei || (type >= 41 && type <= 44) ||
                   (type >= 48 && type <= 55);
    r.parameter_set = type == kVps ? 0 : type == kSps ? 1 : type == kPps ? 2 : -1;
    return r;
}

bool close_unit(AccessUnitCutter& c, AccessUnit& closed) {
    const bool gives = c.open && c.has_slice;
    if (gives) {
        c.unit.nal_count = uint32_t(c.nals.end() - c.unit.first_nal);
        closed = c.unit;
    } else if (c.open) {
        // Nothing of it is written: its NAL units are forgotten.
        c.nals.ranges.resize(size_t(c.unit.first_nal - c.nals.base));
    }
    c.open = false;
    c.has_slice = false;
    c.unit = AccessUnit{};
    return gives;
}

bool add_nal(AccessUnitCutter& c, const SourcePieces& es, const h264::Nal& nal, AccessUnit& closed) {
    const NalRole role = role_of(c.codec, nal);
    const bool boundary = (role.delimiter && c.open) || (c.has_slice && (role.opens_unit || role.starts_picture));
    const bool gives = boundary && close_unit(c, closed);
    if (!c.open) {
        c.open = true;
        c.unit.start = nal.start;
        c.unit.first_nal = c.nals.end();
    }
    if (role.vcl) c.has_slice = true;
    if (role.random_access) c.unit.idr = true;
    if (c.codec == VideoCodec::H264 && nal.type() == h264::kSei && holds_recovery_point(es, nal))
        c.unit.recovery_point = true;
    if (role.parameter_set >= 0) note_parameter_set(c.sets, c.codec, role.parameter_set, es.gather(nal.header, size_t(nal.size())));
    if (!role.delimiter) {
        c.nals.ranges.push_back(NalRange{nal.header, uint32_t(nal.size()), role.parameter_set >= 0});
        c.unit.bytes += uint32_t(4 + nal.size());
        if (role.parameter_set >= 0) c.unit.parameter_set_bytes += uint32_t(4 + nal.size());
    }
    return gives;
}

}  // namespace morvex
