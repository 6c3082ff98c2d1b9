#include "recover/video_samples.h"

#include "codecs/h264.h"
#include "codecs/h264_sps.h"
#include "codecs/hevc.h"
#include "codecs/hevc_sps.h"
#include "common/byte_reader.h"

namespace morvex {
namespace {

// A NAL unit longer than this is not taken (the TS road gives up access
// units of this size too); a parameter set is read whole, so it is held
// to what one can need.
constexpr uint64_t kMaxNalSize = 64ull << 20;
constexpr uint64_t kMaxSampleSize = 1ull << 30;
constexpr uint64_t kMaxParameterSetSize = 4096;
// NAL units before a picture's first slice (delimiter, parameter sets,
// SEI), and in all.
constexpr size_t kMaxPrefixUnits = 32;
constexpr size_t kMaxUnits = 256;
// Bytes that hold the slice header fields read here, whatever their values.
constexpr size_t kSliceHeaderBytes = 40;

enum class Role { Delimiter, ParameterSet, Opener, Slice, Trailer };

struct Unit {
    Role role = Role::Opener;
    uint8_t type = 0;
    int set_kind = -1;  // 0 VPS, 1 SPS, 2 PPS
};

// What a NAL unit header may be in a recorder's stream, and its role in an
// access unit; empty for a header no stream of the codec carries.
std::optional<Unit> unit_of(NalCodec codec, ByteSpan header) {
    if (header[0] & 0x80) return std::nullopt;  // forbidden_zero_bit
    if (codec == NalCodec::Avc) {
        using namespace h264;
        const uint8_t type = header[0] & 0x1F;
        const bool reference = (header[0] & 0x60) != 0;
        switch (type) {
            case kSliceNonIdr: return Unit{Role::Slice, type};
            case kSliceIdr: return reference ? std::optional(Unit{Role::Slice, type}) : std::nullopt;
            case kSps: return reference ? std::optional(Unit{Role::ParameterSet, type, 1}) : std::nullopt;
            case kPps: return reference ? std::optional(Unit{Role::ParameterSet, type, 2}) : std::nullopt;
            case kSei: return reference ? std::nullopt : std::optional(Unit{Role::Opener, type});
            case kAud: return reference ? std::nullopt : std::optional(Unit{Role::Delimiter, type});
            case kEndOfSequence:
            case kEndOfStream:
            case kFiller: return reference ? std::nullopt : std::optional(Unit{Role::Trailer, type});
            default: return std::nullopt;
        }
    }
    using namespace hevc;
    auto h = parse_nal_header(header);
    if (!h || h->layer_id != 0) return std::nullopt;
    const uint8_t type = h->type;
    const bool tid0 = h->temporal_id_plus1 == 1;
    if (type <= kRaslR) return Unit{Role::Slice, type};
    if (type >= kBlaWLp && type <= kCraNut) return tid0 ? std::optional(Unit{Role::Slice, type}) : std::nullopt;
    switch (type) {
        case kVps: return tid0 ? std::optional(Unit{Role::ParameterSet, type, 0}) : std::nullopt;
        case kSps: return tid0 ? std::optional(Unit{Role::ParameterSet, type, 1}) : std::nullopt;
        case kPps: return Unit{Role::ParameterSet, type, 2};
        case kAud: return Unit{Role::Delimiter, type};
        case kPrefixSei: return Unit{Role::Opener, type};
        case kEndOfSequence:
        case kEndOfBitstream: return tid0 ? std::optional(Unit{Role::Trailer, type}) : std::nullopt;
        case kFiller:
        case kSuffixSei: return Unit{Role::Trailer, type};
        default: return std::nullopt;
    }
}

// Parameter sets by id: those of the sample itself first, then those of
// the sample before (`extra`), then the known ones.
struct Sets {
    NalCodec codec;
    const PendingSets& own;
    const PendingSets* extra;
    const ParameterSetTable& known;

    template <typename Parse, typename Id>
    auto find(const Parse& parse, uint8_t type, Id id_of, uint32_t id) const -> decltype(parse(ByteSpan())) {
        for (const PendingSets* p : {&own, extra}) {
            if (!p) continue;
            for (size_t k = p->count; k-- > 0;) {
                const ByteSpan u = p->units[k];
                const uint8_t t = codec == NalCodec::Avc ? (u[0] & 0x1F) : hevc::nal_type_of(u[0]);
                if (t != type) continue;
                if (auto v = parse(u); v && id_of(*v) == id) return v;
            }
        }
        return std::nullopt;
    }

    std::optional<h264::Pps> avc_pps(uint32_t id) const {
        if (auto p = find(h264::parse_pps, h264::kPps, [](const h264::Pps& v) { return v.pps_id; }, id)) return p;
        return id < known.avc_pps.size() ? known.avc_pps[id] : std::nullopt;
    }
    std::optional<h264::Sps> avc_sps(uint32_t id) const {
        if (auto s = find(h264::parse_sps, h264::kSps, [](const h264::Sps& v) { return v.seq_parameter_set_id; }, id))
            return s;
        return id < known.avc_sps.size() ? known.avc_sps[id] : std::nullopt;
    }
    std::optional<hevc::Pps> hevc_pps(uint32_t id) const {
        if (auto p = find(hevc::parse_pps, hevc::kPps, [](const hevc::Pps& v) { return v.pps_id; }, id)) return p;
        return id < known.hevc_pps.size() ? known.hevc_pps[id] : std::nullopt;
    }
    std::optional<hevc::Sps> hevc_sps(uint32_t id) const {
        if (auto s = find(hevc::parse_sps, hevc::kSps, [](const hevc::Sps& v) { return v.sps_id; }, id)) return s;
        return id < known.hevc_sps.size() ? known.hevc_sps[id] : std::nullopt;
    }
};

bool parses(NalCodec codec, int kind, ByteSpan unit) {
    if (codec == NalCodec::Avc) return kind == 1 ? h264::parse_sps(unit).has_value() : h264::parse_pps(unit).has_value();
    if (kind == 0) return hevc::parse_vps(unit).has_value();
    return kind == 1 ? hevc::parse_sps(unit).has_value() : hevc::parse_pps(unit).has_value();
}

// The first slice of a picture, read under its parameter sets.
bool read_first_slice(NalCodec codec, ByteSpan unit, const Sets& sets, VideoSample& s) {
    if (codec == NalCodec::Avc) {
        auto start = h264::parse_slice_start(unit);
        if (!start || start->first_mb_in_slice != 0) return false;
        auto pps = sets.avc_pps(start->pps_id);
        auto sps = pps ? sets.avc_sps(pps->sps_id) : std::nullopt;
        auto header = sps ? h264::parse_slice_header(unit, *sps, *pps) : std::nullopt;
        if (!header) return false;
        s.avc = *header;
        s.sps_id = pps->sps_id;
        s.key = header->idr;
        return true;
    }
    auto start = hevc::parse_slice_start(unit);
    if (!start || !start->first_slice_segment_in_pic) return false;
    auto pps = sets.hevc_pps(start->pps_id);
    auto sps = pps ? sets.hevc_sps(pps->sps_id) : std::nullopt;
    auto header = sps ? hevc::parse_slice_header(unit, *sps, *pps) : std::nullopt;
    if (!header) return false;
    s.hevc = *header;
    s.sps_id = pps->sps_id;
    s.key = hevc::is_irap(header->nal_type);
    return true;
}

// Whether a slice that does not begin a picture is one more slice of the
// picture being read (`current`: its first slice's header): of the same
// NAL unit type and PPS, and in H.264 of the same frame_num, field and
// picture order count fields.
bool continues_picture(NalCodec codec, ByteSpan unit, uint8_t first_type, const Sets& sets,
                       const h264::SliceHeader& current) {
    if (codec == NalCodec::Avc) {
        if ((unit[0] & 0x1F) != (current.idr ? h264::kSliceIdr : h264::kSliceNonIdr)) return false;
        auto pps = sets.avc_pps(current.start.pps_id);
        auto sps = pps ? sets.avc_sps(pps->sps_id) : std::nullopt;
        auto h = sps ? h264::parse_slice_header(unit, *sps, *pps) : std::nullopt;
        return h && h->start.first_mb_in_slice != 0 && h->frame_num == current.frame_num &&
               h->pic_order_cnt_lsb == current.pic_order_cnt_lsb && h->field_pic == current.field_pic &&
               h->bottom_field == current.bottom_field;
    }
    if (hevc::nal_type_of(unit[0]) != first_type) return false;
    auto start = hevc::parse_slice_start(unit);
    auto pps = start ? sets.hevc_pps(start->pps_id) : std::nullopt;
    return start && !start->first_slice_segment_in_pic && pps;
}

// The header of the first slice of an H.264 field that completes the
// field `first` (the opposite parity, the same frame_num): the two fields
// of a frame make one sample (ISO/IEC 14496-15 5.3.2). Of an IDR field,
// the second field is not an IDR picture.
std::optional<h264::SliceHeader> second_field(ByteSpan unit, const Sets& sets, const h264::SliceHeader& first) {
    if (!first.field_pic) return std::nullopt;
    auto start = h264::parse_slice_start(unit);
    auto pps = start && start->first_mb_in_slice == 0 ? sets.avc_pps(start->pps_id) : std::nullopt;
    auto sps = pps ? sets.avc_sps(pps->sps_id) : std::nullopt;
    auto h = sps ? h264::parse_slice_header(unit, *sps, *pps) : std::nullopt;
    if (!h || !h->field_pic || h->bottom_field == first.bottom_field || h->frame_num != first.frame_num ||
        (h->nal_ref_idc == 0) != (first.nal_ref_idc == 0) || (first.idr && h->idr))
        return std::nullopt;
    return h;
}

}  // namespace

bool ParameterSetTable::add(NalCodec codec, ByteSpan unit) {
    if (codec == NalCodec::Avc) {
        const uint8_t type = unit[0] & 0x1F;
        if (type == h264::kSps) {
            auto sps = h264::parse_sps(unit);
            if (!sps || sps->seq_parameter_set_id >= avc_sps.size()) return false;
            avc_sps[sps->seq_parameter_set_id] = std::move(*sps);
            if (!first_sps) first_sps = unit;
            return true;
        }
        auto pps = h264::parse_pps(unit);
        if (!pps) return false;
        avc_pps[pps->pps_id] = *pps;
        if (!first_pps) first_pps = unit;
        return true;
    }
    const uint8_t type = hevc::nal_type_of(unit[0]);
    if (type == hevc::kVps) {
        if (!hevc::parse_vps(unit)) return false;
        if (!first_vps) first_vps = unit;
        return true;
    }
    if (type == hevc::kSps) {
        auto sps = hevc::parse_sps(unit);
        if (!sps || sps->sps_id >= hevc_sps.size()) return false;
        hevc_sps[sps->sps_id] = *sps;
        if (!first_sps) first_sps = unit;
        return true;
    }
    auto pps = hevc::parse_pps(unit);
    if (!pps) return false;
    hevc_pps[pps->pps_id] = *pps;
    if (!first_pps) first_pps = unit;
    return true;
}

std::optional<NalCodec> find_in_band_codec(ByteSpan data, uint64_t begin) {
    const size_t size = data.size();
    for (size_t p = size_t(begin); p + 6 <= size; ++p) {
        const uint8_t h0 = data[p + 4], h1 = data[p + 5];
        // An H.264 SPS header (nal_ref_idc not 0), or an HEVC one (layer 0,
        // TemporalId 0); then a length that holds it.
        const bool avc = (h0 & 0x9F) == h264::kSps && (h0 & 0x60);
        const bool hevc = h0 == (hevc::kSps << 1) && h1 == 0x01;
        if (!avc && !hevc) continue;
        const uint64_t length = load_be32(data.data() + p);
        if (length < 4 || length > kMaxParameterSetSize || length > size - p - 4) continue;
        const ByteSpan unit = data.subspan(p + 4, size_t(length));
        if (avc && h264::parse_sps(unit)) return NalCodec::Avc;
        if (hevc && hevc::parse_sps(unit)) return NalCodec::Hevc;
    }
    return std::nullopt;
}

void commit_sets(ParameterSetTable& known, NalCodec codec, const PendingSets& sets) {
    for (size_t k = 0; k < sets.count; ++k) known.add(codec, sets.units[k]);
}

VideoSample parse_video_sample(ByteSpan data, uint64_t pos, const VideoFormat& format, const ParameterSetTable& known,
                               const PendingSets* extra) {
    VideoSample s;
    const Sets sets{format.codec, s.sets, extra, known};
    const uint64_t length_size = format.length_size;
    const uint64_t header_size = format.codec == NalCodec::Avc ? 1 : 2;
    const uint64_t size = data.size();
    bool have_slice = false, both_fields = false;
    uint8_t first_type = 0;
    h264::SliceHeader current;  // H.264: the first slice of the picture or field being read
    size_t units = 0;
    uint64_t p = pos;
    // Ends the sample before the unit at p: a sample once it has its
    // picture; before that, cut when the data ends, else none.
    auto stop = [&](bool at_end) {
        if (have_slice) {
            s.found = Found::Sample;
            s.end = p;
        } else {
            s.found = at_end ? Found::Cut : Found::Invalid;
        }
        return s;
    };
    for (;;) {
        if (size - p < length_size + header_size) return stop(true);
        uint64_t length = 0;
        for (uint64_t k = 0; k < length_size; ++k) length = (length << 8) | data[size_t(p + k)];
        if (length < header_size || length > kMaxNalSize) return stop(false);
        const uint64_t at = p + length_size;
        auto unit = unit_of(format.codec, data.subspan(size_t(at), size_t(header_size)));
        if (!unit) return stop(false);
        const bool whole = length <= size - at;
        if (at + length - pos > kMaxSampleSize) return stop(false);
        const ByteSpan bytes = data.subspan(size_t(at), size_t(whole ? length : size - at));
        if (have_slice) {
            // What may follow a picture's slices in its access unit: more of
            // its slices, and the trailing units. Anything else, or a unit the
            // data ends in, is for the next sample to take.
            if (!whole || units >= kMaxUnits) return stop(false);
            if (unit->role == Role::Slice) {
                if (continues_picture(format.codec, bytes, first_type, sets, current)) {
                    // one more slice
                } else if (auto field = format.codec == NalCodec::Avc && !both_fields
                                            ? second_field(bytes, sets, s.avc)
                                            : std::nullopt) {
                    current = *field;
                    first_type = unit->type;
                    both_fields = true;
                } else {
                    return stop(false);
                }
            } else if (unit->role != Role::Trailer) {
                return stop(false);
            }
        } else {
            // A unit the data ends in is a sample cut short when it is one
            // that may stand here, as far as its bytes show.
            if (units >= kMaxPrefixUnits) return stop(false);
            switch (unit->role) {
                case Role::Delimiter:
                    if (units > 0) return stop(false);
                    break;
                case Role::ParameterSet:
                    if (length > kMaxParameterSetSize || s.sets.count == PendingSets::kMax) return stop(false);
                    if (!whole) return stop(true);
                    if (!parses(format.codec, unit->set_kind, bytes)) return stop(false);
                    s.sets.units[s.sets.count++] = bytes;
                    break;
                case Role::Opener: break;
                case Role::Slice:
                    if (!read_first_slice(format.codec, bytes, sets, s)) {
                        // The bytes may end inside the slice header.
                        return stop(!whole && bytes.size() < kSliceHeaderBytes);
                    }
                    if (!whole) return stop(true);
                    have_slice = true;
                    first_type = unit->type;
                    current = s.avc;
                    break;
                case Role::Trailer: return stop(false);
            }
            if (!whole) return stop(true);
        }
        ++units;
        p = at + length;
    }
}

}  // namespace morvex
