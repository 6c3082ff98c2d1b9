#include "ts/access_units.h"

#include <algorithm>

#include "codecs/annexb.h"
#include "codecs/bit_reader.h"
#include "codecs/h264_sps.h"
#include "codecs/hevc.h"
#include "codecs/mpeg2_video.h"

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
    // A second set under an id already seen (HEVC, MPEG-2: a second set of
    // a kind) replaces the first one in the middle of the stream.
    if (codec != VideoCodec::H264) {
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

// The set in force under its id, for reading slice headers.
void keep_parsed(ParameterSets& p, VideoCodec codec, int kind, ByteSpan unit) {
    if (codec == VideoCodec::H264) {
        if (kind == 1) {
            if (auto sps = h264::parse_sps(unit); sps && sps->seq_parameter_set_id < p.h264_sps.size())
                p.h264_sps[sps->seq_parameter_set_id] = std::move(sps);
        } else if (auto pps = h264::parse_pps(unit)) {
            p.h264_pps[pps->pps_id] = pps;
        }
    } else if (codec == VideoCodec::Hevc) {
        if (kind == 1) {
            if (auto sps = hevc::parse_sps(unit); sps && sps->sps_id < p.hevc_sps.size()) p.hevc_sps[sps->sps_id] = sps;
        } else if (kind == 2) {
            if (auto pps = hevc::parse_pps(unit)) p.hevc_pps[pps->pps_id] = pps;
        }
    }
}

// Where a picture stands in presentation order, from its first slice (the
// first bytes of it are enough).
void read_picture_order(AccessUnitCutter& c, const SourcePieces& es, const h264::Nal& nal) {
    AccessUnit& u = c.unit;
    uint8_t head[48];
    const size_t n = size_t(std::min<uint64_t>(nal.size(), sizeof head));
    es.copy(nal.header, n, head);
    const ByteSpan b(head, n);
    const ParameterSets& p = c.sets;
    if (c.codec == VideoCodec::H264) {
        const uint8_t type = nal.type();
        if (type != h264::kSliceNonIdr && type != h264::kSliceIdr) return;
        const auto pps_id = h264::slice_pps_id(b);
        if (!pps_id || *pps_id >= p.h264_pps.size() || !p.h264_pps[*pps_id]) return;
        const h264::Pps& pps = *p.h264_pps[*pps_id];
        if (!p.h264_sps[pps.sps_id]) return;
        const h264::Sps& sps = *p.h264_sps[pps.sps_id];
        const auto h = h264::parse_slice_header(b, sps, pps);
        if (!h) return;
        if (h->idr) ++c.order.period;
        u.field = !h->field_pic ? Field::Frame : h->bottom_field ? Field::Bottom : Field::Top;
        u.frame_num = h->frame_num;
        u.order = h264::picture_order_count(c.order.h264, sps, *h);
        u.odd_frame_count = sps.poc_type == 0 && !h->field_pic && (*u.order & 1);
    } else {
        const uint8_t type = hevc::nal_type_of(nal.header_byte);
        const uint8_t temporal_id = uint8_t((nal.second_byte & 7) - 1);
        if ((nal.header_byte & 1) || (nal.second_byte & 0xF8)) return;  // a layer other than the base one
        const auto pps_id = hevc::slice_pps_id(b);
        if (!pps_id || *pps_id >= p.hevc_pps.size() || !p.hevc_pps[*pps_id]) return;
        const hevc::Pps& pps = *p.hevc_pps[*pps_id];
        if (!p.hevc_sps[pps.sps_id]) return;
        const hevc::Sps& sps = *p.hevc_sps[pps.sps_id];
        const auto lsb = hevc::slice_poc_lsb(b, sps, pps);
        if (!lsb) return;
        const bool fresh = (type >= hevc::kBlaWLp && type <= hevc::kIdrNLp) || (hevc::is_irap(type) && !c.order.hevc.prev_tid0);
        if (fresh) ++c.order.period;
        u.order = hevc::picture_order_count(c.order.hevc, sps, type, temporal_id, *lsb);
    }
    u.period = c.order.period;
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
    if (codec == VideoCodec::Mpeg2) {
        using namespace mpeg2;
        const uint8_t code = nal.header_byte;
        r.vcl = is_slice(code);
        r.starts_picture = code == kPictureStart;
        // picture_coding_type: bits 3-5 of the second byte after the code.
        r.random_access = r.starts_picture && ((nal.third_byte >> 3) & 7) == kIntraPicture;
        r.opens_unit = code == kSequenceHeader || code == kGroupStart;
        r.parameter_set = code == kSequenceHeader ? 1 : (code == kExtension && (nal.second_byte >> 4) == kSequenceExtension) ? 2 : -1;
        return r;
    }
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
    const bool gives = c.open && c.has_slice && !c.damaged;
    if (c.open && c.has_slice && c.damaged) ++c.dropped;
    if (gives) {
        c.unit.nal_count = uint32_t(c.nals.end() - c.unit.first_nal);
        closed = c.unit;
    } else if (c.open) {
        // Nothing of it is written: its NAL units are forgotten.
        c.nals.ranges.resize(size_t(c.unit.first_nal - c.nals.base));
    }
    c.open = false;
    c.has_slice = false;
    c.damaged = false;
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
    // A unit that holds the byte before a break lost what followed it.
    while (!c.breaks.empty() && c.breaks.front() <= nal.start) c.breaks.pop_front();
    const bool broken = !c.breaks.empty() && c.breaks.front() <= nal.end;
    c.damaged |= broken;
    if (role.vcl) c.has_slice = true;
    if (role.random_access) c.unit.idr = true;
    if (c.codec == VideoCodec::Mpeg2) {
        using namespace mpeg2;
        if (role.starts_picture) {
            c.unit.frame_num = uint32_t(nal.second_byte) << 2 | nal.third_byte >> 6;  // temporal_reference
            c.unit.order = c.unit.frame_num;
            c.unit.period = c.order.period;
        } else if (nal.header_byte == kGroupStart) {
            ++c.order.period;  // temporal_reference counts from each group of pictures
            // time_code (25 bits), then closed_gop.
            c.unit.closed_gop = nal.size() > 4 && (es.at(nal.header + 4) & 0x40);
        } else if (nal.header_byte == kExtension && (nal.second_byte >> 4) == kPictureCodingExtension &&
                   nal.size() > 3) {
            const uint8_t structure = es.at(nal.header + 3) & 3;  // picture_structure
            c.unit.field = structure == 1 ? Field::Top : structure == 2 ? Field::Bottom : Field::Frame;
        }
        if (role.parameter_set >= 0 && !broken)
            note_parameter_set(c.sets, c.codec, role.parameter_set, es.gather(nal.header, size_t(std::min<uint64_t>(nal.size(), 1024))));
        c.unit.bytes = uint32_t(nal.end - c.unit.start);
        return gives;
    }
    if (role.starts_picture && !c.unit.order) read_picture_order(c, es, nal);
    if (c.codec == VideoCodec::Hevc) {
        const uint8_t type = hevc::nal_type_of(nal.header_byte);
        if (role.vcl) {
            c.unit.rasl |= type == hevc::kRaslN || type == hevc::kRaslR;
            if (role.starts_picture) c.unit.vcl_type = type;
        }
        if (type == hevc::kEndOfSequence) c.order.hevc.prev_tid0.reset();
    }
    if (c.codec == VideoCodec::H264 && nal.type() == h264::kSei && holds_recovery_point(es, nal))
        c.unit.recovery_point = true;
    if (role.parameter_set >= 0 && !broken) {
        Bytes set = es.gather(nal.header, size_t(nal.size()));
        keep_parsed(c.sets, c.codec, role.parameter_set, ByteSpan(set));
        note_parameter_set(c.sets, c.codec, role.parameter_set, std::move(set));
    }
    if (!role.delimiter) {
        c.nals.ranges.push_back(NalRange{nal.header, uint32_t(nal.size()), role.parameter_set >= 0});
        c.unit.bytes += uint32_t(4 + nal.size());
        if (role.parameter_set >= 0) c.unit.parameter_set_bytes += uint32_t(4 + nal.size());
    }
    return gives;
}

}  // namespace morvex
