// Key frame of a transport stream: the first parameter sets of the stream
// (H.264: SPS and PPS; HEVC: VPS, SPS and PPS), each behind a four-byte
// start code, then the slices of the first IDR (HEVC: IRAP) picture, so
// that the result decodes alone. The stream is read only as far as they
// are found.
#include "codecs/avc_config.h"
#include "common/messages.h"
#include "roads/thumbnails.h"
#include "ts/reader.h"

#include <cstring>
#include <optional>

namespace morvex {
namespace {

bool have_sets(const TsReader& r) {
    const ParameterSets& s = r.video.cutter.sets;
    return (r.video.codec != VideoCodec::Hevc || !s.vps.empty()) && !s.sps.empty() && !s.pps.empty();
}

const Sample* first_key(const TsReader& r) {
    for (const Sample& s : r.video.out.samples)
        if (s.sync) return &s;
    return nullptr;
}

// The key picture's slices as they stand in the stream, start codes
// included: from the first slice to the last of those that follow it
// without a gap.
Bytes key_frame(const TsReader& r, const Sample& key) {
    const TsVideo& v = r.video;
    const ParameterSets& sets = v.cutter.sets;
    Bytes out;
    for (const auto* list : {&sets.vps, &sets.sps, &sets.pps})
        if (!list->empty()) append_annexb_nal(out, list->front());
    const NalList& nals = v.cutter.nals;
    std::optional<uint64_t> from, to;
    for (uint32_t k = 0; k < key.nal_count; ++k) {
        const NalRange& n = nals.ranges[size_t(nal_number(r, key) + k - nals.base)];
        const h264::Nal nal{n.offset, n.offset, n.offset + n.size, v.es.at(n.offset),
                            n.size > 1 ? v.es.at(n.offset + 1) : uint8_t(0), n.size > 2 ? v.es.at(n.offset + 2) : uint8_t(0)};
        const bool vcl = role_of(v.codec, nal).vcl;
        // The start code in front: 00 00 01, or 00 00 00 01.
        const uint64_t start = n.offset >= 4 && v.es.at(n.offset - 4) == 0 ? n.offset - 4 : n.offset - 3;
        if (!from) {
            if (vcl) from = start, to = nal.end;
            continue;
        }
        if (!vcl || (start != *to && n.offset - 3 != *to)) break;
        to = nal.end;
    }
    if (from) {
        const size_t at = out.size();
        out.resize(at + size_t(*to - *from));
        v.es.copy(*from, size_t(*to - *from), out.data() + at);
    }
    return out;
}

}  // namespace

Result<Bytes> extract_thumbnail_from_ts(ByteSpan data) {
    std::string report;
    return extract_thumbnail_from_ts(data, report);
}

Result<Bytes> extract_thumbnail_from_ts(ByteSpan data, std::string& report) {
    if (data.empty() || std::memchr(data.data(), kTsSyncByte, data.size()) == nullptr) return invalid(msg::kNoSync);
    TsReader r;
    r.video.es.window = data.data();
    const StreamBytes s{data, 0, true};
    uint64_t given = 0;
    while (read_ts_packet(r, s)) {
        r.audio.out.samples.clear();  // the audio is not wanted
        if (r.video.out.count == given) continue;
        given = r.video.out.count;
        if (const Sample* key = first_key(r)) {
            if (have_sets(r)) {
                report += ts_report(r);
                return key_frame(r, *key);
            }
        } else {
            r.video.out.samples.clear();  // pictures before the first key picture are not wanted
        }
    }
    end_ts(r, s);
    report += ts_report(r);
    if (!r.video.out.first_time) {
        if (!r.accepted && r.uncarried_video) return invalid(unsupported_video_message(*r.uncarried_video));
        return invalid(msg::kNoVideo);
    }
    const Sample* key = first_key(r);
    if (!key) return fail(ErrorKind::NotFound, msg::kNoIdr);
    return key_frame(r, *key);
}

}  // namespace morvex
