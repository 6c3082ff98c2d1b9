#include "mp4/cmaf_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "common/byte_writer.h"
#include "common/messages.h"
#include "isobmff/fourcc.h"

namespace morvex {
namespace {

// ftyp of a CMAF header: major brand cmfc (the CMAF structural brand),
// minor version 0, compatible cmfc, iso6 (tfdt version 1, trun version 1)
// and isom.
constexpr uint8_t kCmafFtyp[28] = {0,   0,   0,   28,  'f', 't', 'y', 'p', 'c', 'm', 'f', 'c', 0,   0,
                                   0,   0,   'c', 'm', 'f', 'c', 'i', 's', 'o', '6', 'i', 's', 'o', 'm'};

// styp of a segment: major brand msdh (a DASH media segment), minor version
// 0, compatible msdh, cmfs (a CMAF segment) and cmff (a CMAF fragment).
constexpr uint8_t kCmafStyp[28] = {0,   0,   0,   28,  's', 't', 'y', 'p', 'm', 's', 'd', 'h', 0,   0,
                                   0,   0,   'm', 's', 'd', 'h', 'c', 'm', 'f', 's', 'c', 'm', 'f', 'f'};

}  // namespace

Result<Bytes> build_cmaf_header(const Track& track, uint32_t movie_timescale) {
    return build_init_segment(std::span<const Track>(&track, 1), movie_timescale,
                              ByteSpan(kCmafFtyp));
}

MovieFragment cmaf_fragment(const CmafTrack& track, size_t index) {
    const CmafSegment& s = track.segments[index];
    const Track& t = *track.track;
    MovieFragment f;
    f.sequence = uint32_t(index + 1);
    TrackRun run;
    run.track = &t;
    run.track_id = t.track_id;
    run.decode_time = s.decode_time;
    run.default_flags = t.handler == box::vide ? kNonSyncSampleFlags : kSyncSampleFlags;
    run.samples.assign(t.samples.begin() + s.first, t.samples.begin() + s.first + s.count);
    for (Sample& x : run.samples) x.composition_offset = track.composition_offset(x);
    f.runs.push_back(std::move(run));
    return f;
}

Result<Bytes> build_cmaf_index(const CmafTrack& track, std::span<const uint64_t> segment_sizes) {
    const Track& t = *track.track;
    const auto& segments = track.segments;
    if (segments.size() > 0xFFFF || segment_sizes.size() != segments.size())
        return invalid(msg::segments_not_indexed(t.track_id, segments.size()));
    Bytes out;
    ByteWriter w{out};
    const size_t m = w.begin_full_box("sidx", 1, 0);
    w.u32(t.track_id);  // reference_ID
    w.u32(t.timescale);
    // earliest_presentation_time: of the first segment's samples, from 0.
    int64_t earliest = INT64_MAX;
    int64_t dts = int64_t(segments.empty() ? 0 : segments[0].decode_time);
    for (uint32_t i = 0; !segments.empty() && i < segments[0].count; ++i) {
        const Sample& s = t.samples[segments[0].first + i];
        earliest = std::min(earliest, dts + track.composition_offset(s));
        dts += s.duration;
    }
    w.u64(uint64_t(std::max<int64_t>(0, segments.empty() ? 0 : earliest)));
    w.u64(0);  // first_offset: the first segment follows the sidx
    w.u16(0);  // reserved
    w.u16(uint16_t(segments.size()));
    for (size_t k = 0; k < segments.size(); ++k) {
        const CmafSegment& seg = segments[k];
        if (segment_sizes[k] >= 0x80000000u || seg.duration > 0xFFFFFFFFu)
            return invalid(msg::segments_not_indexed(t.track_id, segments.size()));
        const Sample& first = t.samples[seg.first];
        // SAP type 1: the sync sample is shown first; type 2: a sample that
        // follows it in decode order is shown before it.
        bool shown_first = true;
        int64_t at = 0;
        for (uint32_t i = 0; i < seg.count; ++i) {
            const Sample& s = t.samples[seg.first + i];
            if (i > 0 && at + track.composition_offset(s) < track.composition_offset(first)) shown_first = false;
            at += s.duration;
        }
        w.u32(uint32_t(segment_sizes[k]));  // reference_type 0: media
        w.u32(uint32_t(seg.duration));
        w.u32(first.sync ? (0x80000000u | (shown_first ? 0x10000000u : 0x20000000u)) : 0);
    }
    w.end_box(m);
    return out;
}

uint64_t cmaf_segment_size(const MovieFragment& f) { return sizeof kCmafStyp + fragment_size(f); }

uint8_t* write_cmaf_segment(const MovieFragment& f, uint8_t* out) {
    std::memcpy(out, kCmafStyp, sizeof kCmafStyp);
    return write_fragment(f, out + sizeof kCmafStyp);
}

}  // namespace morvex
