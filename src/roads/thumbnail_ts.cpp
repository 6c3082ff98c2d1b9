// Key frame of a transport stream: the first parameter sets of the stream
// (H.264: SPS and PPS; HEVC: VPS, SPS and PPS), each behind a four-byte
// start code, then the slices of the first IDR (HEVC: IRAP) picture (both
// fields of a frame coded as two), so that the result decodes alone. Of
// MPEG-2 video: the sequence header (and its extension) and the first I
// picture. The stream is read only as far as they are found.
#include "codecs/avc_config.h"
#include "codecs/mpeg2_video.h"
#include "common/messages.h"
#include "roads/thumbnails.h"
#include "ts/reader.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace morvex {
namespace {

bool have_sets(const TsReader& r) {
    const ParameterSets& s = r.video.cutter.sets;
    if (r.video.codec == VideoCodec::Mpeg2) return !s.sps.empty();
    return (r.video.codec != VideoCodec::Hevc || !s.vps.empty()) && !s.sps.empty() && !s.pps.empty();
}

const Sample* first_key(const TsReader& r) {
    for (const Sample& s : r.video.out.samples)
        if (s.sync) return &s;
    return nullptr;
}

void append_stream(Bytes& out, const SourcePieces& es, uint64_t from, uint64_t to) {
    const size_t at = out.size();
    out.resize(at + size_t(to - from));
    es.copy(from, size_t(to - from), out.data() + at);
}

// An MPEG-2 picture as it stands, behind the sequence header and its
// extension when it does not begin with them.
Bytes mpeg2_key_frame(const TsReader& r, const Sample& key) {
    const TsVideo& v = r.video;
    const ParameterSets& sets = v.cutter.sets;
    Bytes out;
    const Bytes head = v.es.gather(key.offset, size_t(std::min<uint32_t>(key.size, 5)));
    const size_t zeros = head.size() > 3 && head[0] == 0 && head[1] == 0 && head[2] == 0 ? 1 : 0;
    if (head.size() < zeros + 4 || head[zeros + 3] != mpeg2::kSequenceHeader)
        for (const auto* list : {&sets.sps, &sets.pps})
            if (!list->empty()) {
                for (uint8_t b : {0, 0, 1}) out.push_back(b);
                out.insert(out.end(), list->front().begin(), list->front().end());
            }
    append_stream(out, v.es, key.offset, key.offset + key.size);
    return out;
}

// The key picture's slices as they stand in the stream, each behind its
// own start code (00 00 01, or 00 00 00 01).
Bytes key_frame(const TsReader& r, const Sample& key) {
    const TsVideo& v = r.video;
    if (v.codec == VideoCodec::Mpeg2) return mpeg2_key_frame(r, key);
    const ParameterSets& sets = v.cutter.sets;
    Bytes out;
    for (const auto* list : {&sets.vps, &sets.sps, &sets.pps})
        if (!list->empty()) append_annexb_nal(out, list->front());
    const NalList& nals = v.cutter.nals;
    for (uint32_t k = 0; k < key.nal_count; ++k) {
        const NalRange& n = nals.ranges[size_t(nal_number(r, key) + k - nals.base)];
        const h264::Nal nal{n.offset, n.offset, n.offset + n.size, v.es.at(n.offset),
                            n.size > 1 ? v.es.at(n.offset + 1) : uint8_t(0), n.size > 2 ? v.es.at(n.offset + 2) : uint8_t(0)};
        if (!role_of(v.codec, nal).vcl) continue;
        const uint64_t start = n.offset >= 4 && v.es.at(n.offset - 4) == 0 ? n.offset - 4 : n.offset - 3;
        append_stream(out, v.es, start, nal.end);
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
        for (TsAudio& a : r.audio) a.out.samples.clear();  // the audio is not wanted
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
