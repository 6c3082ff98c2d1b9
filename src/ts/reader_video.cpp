// The video pipeline of the transport stream reader: PES into the
// elementary stream, access units (two fields of a frame paired), PES
// timestamps, the start at the first random access point, the clock, and
// samples out once the next picture's DTS is known.
#include <algorithm>

#include "codecs/h264_sps.h"
#include "codecs/hevc.h"
#include "codecs/hevc_sps.h"
#include "codecs/mpeg2_video.h"
#include "ts/pes.h"
#include "ts/reader_parts.h"

namespace morvex::ts_reader {
namespace {

constexpr uint8_t kHevc = 0x24, kMpeg2Video = 0x02;

// Pictures that wait for a random access point at the start, and the bytes
// of one access unit, at the most.
constexpr size_t kStartWait = 300;
constexpr uint64_t kMaxUnitBytes = uint64_t(64) << 20;

void emit_picture(TsVideo& v, const PlacedPicture& p, int64_t duration) {
    Sample s;
    s.size = p.unit.bytes;
    s.duration = uint32_t(std::clamp<int64_t>(duration, 1, UINT32_MAX));
    // Relative to the first sample's, so sample 0 is presented at media
    // time 0.
    s.composition_offset = int32_t(std::clamp<int64_t>(p.pts - p.dts - *v.first_offset, INT32_MIN, INT32_MAX));
    s.sync = p.unit.idr || p.unit.recovery_point;
    // Annex B pictures are lists of NAL units; MPEG-2 pictures are copied
    // as they stand from where they begin.
    s.nal_count = p.unit.nal_count;
    if (s.nal_count > 0) s.first_nal = p.unit.first_nal;
    else s.offset = p.unit.start;
    v.out.samples.push_back(s);
    ++v.out.count;
}

// A picture placed on the timeline: the one before it now has its duration.
void on_placed_picture(TsVideo& v, const PlacedPicture& p) {
    if (!v.first_offset) {
        v.first_offset = p.pts - p.dts;
        v.out.first_time = v.out.first_ticks = p.pts;
    }
    if (v.last) {
        emit_picture(v, *v.last, p.dts - v.last->dts);
        v.dts_before_last = v.last->dts;
    }
    v.last = p;
}

void release_held(TsVideo& v) {
    bool first = true;
    for (auto& p : v.held) {
        if (first && v.restart) p.discontinuity = true;
        first = false;
        add_picture(v.clock, std::move(p));
    }
    v.held.clear();
    v.started = true;
    v.restart = false;
}

bool is_hevc_idr(const AccessUnit& u) { return u.vcl_type == hevc::kIdrWRadl || u.vcl_type == hevc::kIdrNLp; }
bool is_hevc_bla(const AccessUnit& u) { return u.vcl_type >= hevc::kBlaWLp && u.vcl_type <= hevc::kBlaNLp; }

// A start at a picture other than an IDR leaves out the pictures that lean
// on what came before it: HEVC's RASL pictures after a CRA (or BLA)
// picture; in H.264 (a recovery point) and MPEG-2 (an I picture of an open
// group of pictures), those of its period presented before it.
void note_start(TsVideo& v, const AccessUnit& u) {
    v.leading_before.reset();
    v.skip_rasl = false;
    if (v.codec == VideoCodec::Hevc) {
        v.skip_rasl = !is_hevc_idr(u);
        return;
    }
    const bool open = v.codec == VideoCodec::Mpeg2 ? !u.closed_gop : !u.idr;
    if (open && u.order) v.leading_before = std::pair{u.period, *u.order};
}

bool is_leading(TsVideo& v, const AccessUnit& u) {
    if (v.codec == VideoCodec::Hevc) {
        // The RASL pictures of a BLA picture (a broken link) never decode.
        if (u.idr) v.skip_rasl = is_hevc_bla(u);
        return v.skip_rasl && u.rasl;
    }
    if (!v.leading_before) return false;
    if (!u.order || u.period != v.leading_before->first) {
        v.leading_before.reset();
        return false;
    }
    return *u.order < v.leading_before->second;
}

// The start: pictures wait for the first random access point; those before
// it cannot be decoded and are dropped.
void gate_picture(TsVideo& v, RawPicture p) {
    if (v.started && !v.restart) {
        if (!is_leading(v, p.unit)) add_picture(v.clock, std::move(p));
        return;
    }
    if (p.unit.idr || p.unit.recovery_point) {
        if (!v.held.empty()) v.dropped = v.dropped || !v.restart;
        v.held.clear();
        note_start(v, p.unit);
        v.held.push_back(std::move(p));
        release_held(v);
        return;
    }
    v.held.push_back(std::move(p));
    if (v.held.size() >= kStartWait) release_held(v);  // a stream without random access points keeps them all
}

// Whether `second` is the field that completes the frame `first` began:
// the other parity, the same frame (frame_num, temporal_reference), right
// behind it.
bool completes(VideoCodec codec, const AccessUnit& first, const AccessUnit& second) {
    if (first.field == Field::Frame || second.field == Field::Frame || first.field == second.field) return false;
    if (first.frame_num != second.frame_num || (second.idr && !first.idr)) return false;
    if (codec == VideoCodec::Mpeg2) return second.start == first.start + first.bytes;
    return second.first_nal == first.first_nal + first.nal_count;
}

// The two fields of a frame make one sample, timed by the first; a field
// without its pair is a sample of its own.
void pair_fields(TsReader& r, RawPicture p) {
    TsVideo& v = r.video;
    if (v.first_field) {
        RawPicture first = std::move(*v.first_field);
        v.first_field.reset();
        if (completes(v.codec, first.unit, p.unit)) {
            AccessUnit& u = first.unit;
            u.nal_count += p.unit.nal_count;
            u.bytes += p.unit.bytes;
            u.parameter_set_bytes += p.unit.parameter_set_bytes;
            u.recovery_point |= p.unit.recovery_point;
            if (p.unit.order && (!u.order || *p.unit.order < *u.order)) u.order = p.unit.order;
            u.field = Field::Frame;
            gate_picture(v, std::move(first));
            return;
        }
        gate_picture(v, std::move(first));
    }
    if (p.unit.field != Field::Frame) {
        v.first_field = std::move(p);
        return;
    }
    gate_picture(v, std::move(p));
}

void on_unit(TsReader& r, const AccessUnit& unit) {
    TsVideo& v = r.video;
    RawPicture p;
    p.unit = unit;
    // The PES in which the unit begins: the last one that began at or
    // before it; its timestamps go to the first unit that begins in it.
    uint64_t m = v.last_used.value_or(v.marks_base);
    if (m < v.marks_base) m = v.marks_base;
    std::optional<uint64_t> found;
    for (uint64_t k = m; k - v.marks_base < v.marks.size(); ++k) {
        if (v.marks[size_t(k - v.marks_base)].offset > unit.start) break;
        found = k;
    }
    if (found && found != v.last_used) {
        const PesMark& mark = v.marks[size_t(*found - v.marks_base)];
        const PesTimestamps& ts = mark.timestamps;
        if (ts.pts || ts.dts) {
            v.last_used = found;
            if (!v.unwrap.last) v.unwrap.last = r.reference;
            p.discontinuity = mark.discontinuity;
            if (ts.pts) p.pts = v.unwrap(*ts.pts);
            if (ts.dts) p.dts = unwrap_timestamp(*ts.dts, p.pts.value_or(v.unwrap.last.value_or(0)));
            if (!p.pts) p.pts = p.dts;
            if (!p.dts) p.dts = p.pts;
        }
    }
    // Marks before the one found are not looked at again.
    if (found)
        while (v.marks_base < *found) {
            v.marks.pop_front();
            ++v.marks_base;
        }
    pair_fields(r, std::move(p));
    r.dirty = true;
}

void cut_video(TsReader& r) {
    TsVideo& v = r.video;
    cut_access_units(v.cutter, v.es, [&](const AccessUnit& u) { on_unit(r, u); });
    // An access unit that runs on without end is given up: the bytes until
    // the next start code are skipped.
    AccessUnitCutter& c = v.cutter;
    const uint64_t open_from = c.open ? c.unit.start : c.scanner.code ? c.scanner.unit_start : v.es.size;
    if (v.es.size - open_from > kMaxUnitBytes) {
        AccessUnit dropped;
        c.has_slice = false;
        close_unit(c, dropped);
        c.scanner.code.reset();
        c.scanner.from = v.es.size;
    }
}

// The frame duration the stream states: the SPS's VUI timing, the MPEG-2
// sequence header's frame rate.
void set_frame_duration(TsVideo& v) {
    const ParameterSets& sets = v.cutter.sets;
    if (v.clock.frame_duration || sets.sps.empty()) return;
    const ByteSpan sps = sets.sps.front();
    if (v.codec == VideoCodec::Hevc) {
        if (auto s = hevc::parse_sps(sps)) v.clock.frame_duration = s->frame_duration_90k();
    } else if (v.codec == VideoCodec::Mpeg2) {
        if (auto h = mpeg2::parse_sequence_header(sps)) {
            std::optional<mpeg2::SequenceExtension> e;
            if (!sets.pps.empty()) e = mpeg2::parse_sequence_extension(sets.pps.front());
            v.clock.frame_duration = mpeg2::describe_sequence(*h, e).frame_duration_90k;
        }
    } else if (auto s = h264::parse_sps(sps)) {
        v.clock.frame_duration = s->frame_duration_90k();
    }
}

}  // namespace

void set_video_stream(TsReader& r, const PmtEntry& e) {
    TsVideo& v = r.video;
    const bool first = !v.pid;
    v.pid = e.pid;
    v.stream_type = e.stream_type;
    r.carried.push_back(e.pid);
    if (!first) return;
    v.codec = e.stream_type == kHevc ? VideoCodec::Hevc : e.stream_type == kMpeg2Video ? VideoCodec::Mpeg2 : VideoCodec::H264;
    v.cutter.codec = v.codec;
    v.cutter.scanner.four_byte_codes = v.codec != VideoCodec::Mpeg2;
    // H.264 counts two pictures a frame (a field each).
    v.clock.orders_per_frame = v.codec == VideoCodec::H264 ? 2 : 1;
    v.clock.participant = add_participant(r.timeline);
}

void on_video_packet(TsReader& r, const PacketHeader& h, const uint8_t* pkt, uint64_t pos) {
    TsVideo& v = r.video;
    v.pending_discontinuity |= h.discontinuity;
    if (h.payload_at >= kTsPacketSize) return;
    switch (v.cc.check(pkt, h.discontinuity)) {
        case Continuity::Duplicate: return;
        case Continuity::Gap: {
            // Bytes of the PES being read were lost, unless its length says
            // it had ended (or, without one, a new PES begins: the packets
            // lost may have lain between the two).
            const bool whole = v.pes_end && v.es.size >= *v.pes_end;
            if (!whole && (!h.unit_start || v.pes_end)) v.cutter.breaks.push_back(v.es.size);
            if (!h.unit_start) {
                v.skip_to_start = true;
                return;
            }
            break;
        }
        case Continuity::Next: break;
    }
    const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
    if (!h.unit_start) {
        if (v.skip_to_start) return;
        v.es.add(payload, pos + h.payload_at);
        cut_video(r);
        return;
    }
    v.skip_to_start = false;
    if (h.payload_at >= kMinPesStartOffset) return;
    const PesTimestamps ts = extract_pes_timestamps(payload);
    note_reference(r, ts);
    v.marks.push_back(PesMark{v.es.size, ts, v.pending_discontinuity, pos, std::nullopt});
    v.pending_discontinuity = false;
    ++v.pes_count;
    if (v.pes_count == 1) v.first_pts = ts.pts;
    v.last_pts = ts.pts;
    const std::optional<uint64_t> length = pes_body_length(payload);
    v.pes_end = length ? std::optional(v.es.size + *length) : std::nullopt;
    if (auto body = pes_payload_after_header(payload)) {
        v.es.add(*body, pos + uint64_t(body->data() - pkt));
        cut_video(r);
    }
}

void close_video(TsReader& r, bool release) {
    TsVideo& v = r.video;
    finish_access_units(v.cutter, v.es, [&](const AccessUnit& u) { on_unit(r, u); });
    v.cutter.scanner.last = v.cutter.scanner.before_last = 1;
    if (v.first_field) {
        RawPicture f = std::move(*v.first_field);
        v.first_field.reset();
        gate_picture(v, std::move(f));
    }
    if (release && !v.held.empty()) release_held(v);
}

bool place_video(TsReader& r, bool final) {
    TsVideo& v = r.video;
    set_frame_duration(v);
    bool placed = false;
    place_pictures(v.clock, r.timeline, r.reference.value_or(0), final, [&](const PlacedPicture& p) {
        on_placed_picture(v, p);
        placed = true;
    });
    return placed;
}

void finish_video(TsReader& r) {
    TsVideo& v = r.video;
    if (!v.last) return;
    const int64_t d = v.dts_before_last ? v.last->dts - *v.dts_before_last : v.clock.step();
    emit_picture(v, *v.last, d);
    v.dts_before_last = v.last->dts;
    v.last.reset();
}

}  // namespace morvex::ts_reader
