#include "ts/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codecs/h264_sps.h"
#include "codecs/hevc_sps.h"
#include "ts/pes.h"

namespace morvex {
namespace {

// A PES start packet must leave room for the 9-byte fixed PES header.
constexpr size_t kMinPesStartOffset = 180;
constexpr uint8_t kH264 = 0x1B, kMpeg2Video = 0x02, kHevc = 0x24;

// Packets kept, before the programme's PMT arrives, to be read once it has.
constexpr size_t kEarlyPackets = 32 * 1024;
// Pictures that wait for a random access point at the start, and the bytes
// of one access unit, at the most.
constexpr size_t kStartWait = 300;
constexpr uint64_t kMaxUnitBytes = uint64_t(64) << 20;
// An audio stream not recognised once the video has run this long, or this
// much input has come after the PMT, is none.
constexpr int64_t kAudioDecision = 2 * int64_t(kTsClock);
constexpr uint64_t kAudioDecisionBytes = uint64_t(8) << 20;
// Frames that wait for the video's first picture, at the most (seconds).
constexpr int64_t kAudioStartWait = 10;

// Video stream types the module does not carry (H.222.0 table 2-34), with
// the name the error gives.
const char* uncarried_video_name(uint8_t t) {
    switch (t) {
        case 0x01: return "MPEG-1 video";
        case 0x10: return "MPEG-4 Visual";
        case 0x1E: return "auxiliary video";
        case 0x1F: return "SVC";
        case 0x20: return "MVC";
        case 0x27: return "HEVC temporal";
        case 0x33: return "VVC";
        case 0x42: return "AVS";
        case 0xD1: return "Dirac";
        case 0xEA: return "VC-1";
        default: return nullptr;
    }
}

// Streams that may carry AAC in ADTS or MPEG audio: which one is known
// only from their bytes.
bool may_carry_audio(const PmtEntry& e) {
    switch (e.stream_type) {
        case 0x0F: case 0x03: case 0x04: return true;
        case 0x06: return !e.ac3_descriptor && !e.eac3_descriptor && !e.teletext_or_subtitles;
        default: return false;
    }
}

// AC-3 and E-AC-3: stream types 0x81 and 0x87 (ATSC A/52 Annex A), or a
// private stream (0x06) with an AC-3 or enhanced AC-3 descriptor (DVB, ETSI
// EN 300 468 Annex D). Which of the two it is, the syncframes' bsid says.
bool may_carry_dolby(const PmtEntry& e) {
    return e.stream_type == 0x81 || e.stream_type == 0x87 ||
           (e.stream_type == 0x06 && (e.ac3_descriptor || e.eac3_descriptor));
}

// The audio stream types the PMT alone names.
std::optional<AudioCodec> audio_codec_by_type(uint8_t t) {
    switch (t) {
        case 0x0F: return AudioCodec::Aac;
        case 0x03: case 0x04: return AudioCodec::MpegAudio;
        case 0x81: return AudioCodec::Ac3;
        case 0x87: return AudioCodec::Eac3;
        default: return std::nullopt;
    }
}

bool names_video(const std::vector<PmtEntry>& streams) {
    return std::any_of(streams.begin(), streams.end(), [](const PmtEntry& e) { return is_carried_video(e.stream_type); });
}

bool same_streams(const std::vector<PmtEntry>& a, const std::vector<PmtEntry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PmtEntry& x, const PmtEntry& y) {
        return x.stream_type == y.stream_type && x.pid == y.pid;
    });
}

struct PacketHeader {
    bool unit_start;
    uint16_t pid;
    bool discontinuity;
    size_t payload_at;  // 188 when the packet has no payload
};

PacketHeader read_header(const uint8_t* pkt) {
    PacketHeader h;
    h.unit_start = pkt[1] & 0x40;
    h.pid = uint16_t(((pkt[1] & 0x1F) << 8) | pkt[2]);
    const bool has_adaptation = pkt[3] & 0x20;
    const bool has_payload = pkt[3] & 0x10;
    h.discontinuity = has_adaptation && pkt[4] > 0 && (pkt[5] & 0x80);
    const size_t f = has_adaptation ? 5 + size_t(pkt[4]) : 4;
    h.payload_at = has_payload && f <= kTsPacketSize - 1 ? f : kTsPacketSize;
    return h;
}

void append(Bytes& to, ByteSpan bytes) {
    const size_t at = to.size();
    to.resize(at + bytes.size());
    if (!bytes.empty()) std::memcpy(to.data() + at, bytes.data(), bytes.size());
}

void note_reference(TsReader& r, const PesTimestamps& ts) {
    if (!r.reference && ts.pts) r.reference = int64_t(*ts.pts & ((uint64_t(1) << 33) - 1));
}

int64_t to_timescale(int64_t t90k, uint32_t timescale) {
    return (t90k * int64_t(timescale) + (t90k >= 0 ? 45000 : -45000)) / int64_t(kTsClock);
}

// ---------------------------------------------------------------------------
// Video

void emit_picture(TsVideo& v, const PlacedPicture& p, int64_t duration) {
    Sample s;
    s.size = p.unit.bytes;
    s.duration = uint32_t(std::clamp<int64_t>(duration, 1, UINT32_MAX));
    // Relative to the first sample's, so sample 0 is presented at media
    // time 0.
    s.composition_offset = int32_t(std::clamp<int64_t>(p.pts - p.dts - *v.first_offset, INT32_MIN, INT32_MAX));
    s.sync = p.unit.idr || p.unit.recovery_point;
    s.first_nal = p.unit.first_nal;
    s.nal_count = p.unit.nal_count;
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

// The start: pictures wait for the first random access point; those before
// it cannot be decoded and are dropped.
void gate_picture(TsVideo& v, RawPicture p) {
    if (v.started && !v.restart) {
        add_picture(v.clock, std::move(p));
        return;
    }
    if (p.unit.idr || p.unit.recovery_point) {
        if (!v.held.empty()) v.dropped = v.dropped || !v.restart;
        v.held.clear();
        v.held.push_back(std::move(p));
        release_held(v);
        return;
    }
    v.held.push_back(std::move(p));
    if (v.held.size() >= kStartWait) release_held(v);  // a stream without random access points keeps them all
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
    gate_picture(v, std::move(p));
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

void on_video_packet(TsReader& r, const PacketHeader& h, const uint8_t* pkt, uint64_t pos) {
    TsVideo& v = r.video;
    v.pending_discontinuity |= h.discontinuity;
    if (h.payload_at >= kTsPacketSize) return;
    const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
    if (!h.unit_start) {
        v.es.add(payload, pos + h.payload_at);
        cut_video(r);
        return;
    }
    if (h.payload_at >= kMinPesStartOffset) return;
    const PesTimestamps ts = extract_pes_timestamps(payload);
    note_reference(r, ts);
    v.marks.push_back(PesMark{v.es.size, ts, v.pending_discontinuity, pos, std::nullopt});
    v.pending_discontinuity = false;
    ++v.pes_count;
    if (v.pes_count == 1) v.first_pts = ts.pts;
    v.last_pts = ts.pts;
    if (auto body = pes_payload_after_header(payload)) {
        v.es.add(*body, pos + uint64_t(body->data() - pkt));
        cut_video(r);
    }
}

// ---------------------------------------------------------------------------
// Audio

// The audio track's clock and frame length. 48 kHz AAC counts on the 90 kHz
// clock (1920 ticks a frame); other audio in its own samples (AC-3 and
// E-AC-3: 1536 a frame, ETSI TS 102 366 F.2).
void set_audio_format(TsAudio& a) {
    const AudioConfigs& c = a.cutter.configs;
    AudioClock& k = a.clock;
    a.described = true;
    switch (a.codec) {
        case AudioCodec::MpegAudio:
            if (c.mpeg) k.timescale = c.mpeg->sample_rate, k.frame_ticks = c.mpeg->samples;
            else k.timescale = 48000, k.frame_ticks = 1152, a.described = false;
            return;
        case AudioCodec::Ac3:
        case AudioCodec::Eac3:
            if (c.ac3) k.timescale = c.ac3->sample_rate, k.frame_ticks = c.ac3->samples;
            else k.timescale = 48000, k.frame_ticks = ac3::kSamplesPerFrame, a.described = false;
            return;
        case AudioCodec::Aac: break;
    }
    const aac::AdtsHeader config = c.aac.value_or(aac::AdtsHeader{});
    const uint32_t rate = aac::sample_rate(config.sampling_frequency_index);
    if (rate == 0 || rate == 48000) k.timescale = kTsClock, k.frame_ticks = 1920;
    else k.timescale = rate, k.frame_ticks = aac::kSamplesPerFrame;
}

void on_frame(TsReader& r, const AudioFrame& f) {
    TsAudio& a = r.audio;
    if (!a.format_known) {
        set_audio_format(a);
        a.format_known = true;
    }
    RawFrame raw;
    raw.frame = f;
    if (const PesMark* m = a.stream.mark(f.pes)) {
        raw.discontinuity = m->discontinuity;
        if (m->time) raw.time = to_timescale(*m->time, a.clock.timescale);
        if (a.frames == 0) a.first_pts = m->timestamps.pts;
        a.last_pts = m->timestamps.pts;
    } else {
        if (a.frames == 0) a.first_pts.reset();
        a.last_pts.reset();
    }
    ++a.frames;
    a.clock.waiting.push_back(raw);
    r.dirty = true;
}

void cut_audio(TsReader& r, bool final) {
    if (!r.audio.pid) return;
    cut_audio_frames(r.audio.cutter, r.audio.stream, final, [&](const AudioFrame& f) { on_frame(r, f); });
}

void add_audio_pes(AudioStream& s, Unwrapper& unwrap, TsReader& r, bool& pending_discontinuity,
                   const PacketHeader& h, const uint8_t* pkt, uint64_t pos) {
    pending_discontinuity |= h.discontinuity;
    if (h.payload_at >= kTsPacketSize) return;
    const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
    if (!h.unit_start) {
        append(s.data, payload);
        return;
    }
    if (h.payload_at >= kMinPesStartOffset) return;
    const PesTimestamps ts = extract_pes_timestamps(payload);
    note_reference(r, ts);
    PesMark mark{s.end(), ts, pending_discontinuity, pos, std::nullopt};
    if (ts.pts) {
        if (!unwrap.last) unwrap.last = r.reference;
        mark.time = unwrap(*ts.pts);
    }
    s.pes.push_back(mark);
    pending_discontinuity = false;
    if (auto body = pes_payload_after_header(payload)) append(s.data, *body);
}

// Takes the candidate's stream as the audio track's (the first programme),
// or goes on with it behind what the track has (a later programme).
void take_audio(TsReader& r, TsAudioCandidate& c) {
    TsAudio& a = r.audio;
    if (!a.pid) {
        a.pid = c.pid;
        a.codec = c.codec;
        a.cutter.codec = c.codec;
        a.stream = std::move(c.stream);
        a.unwrap = c.unwrap;
        a.pending_discontinuity = c.pending_discontinuity;
        r.timeline.audio = true;
        return;
    }
    // A later programme: its audio goes on on the track, from a new piece of
    // timeline.
    a.pid = c.pid;
    a.unwrap = c.unwrap;
    a.pending_discontinuity = c.pending_discontinuity;
    const uint64_t at = a.stream.end();
    append(a.stream.data, ByteSpan(c.stream.data));
    for (size_t k = 0; k < c.stream.pes.size(); ++k) {
        PesMark m = c.stream.pes[k];
        m.offset += at;
        if (k == 0) m.discontinuity = true;
        a.stream.pes.push_back(m);
    }
    a.cutter.pos = at;
}

// The audio stream is the first candidate, in the PMT's order, whose bytes
// are audio; one not recognised yet is waited for, until `force`.
void decide_audio(TsReader& r, bool force) {
    if (r.audio_decided) return;
    TsAudioCandidate* taken = nullptr;
    for (auto& c : r.candidates) {
        if (c.state == Recognised::NotYet && !force) return;
        if (c.state == Recognised::Yes) {
            taken = &c;
            break;
        }
    }
    // None recognised: the first whose stream type names its codec, as the
    // PMT says.
    if (!taken)
        for (auto& c : r.candidates)
            if (c.named) {
                c.codec = *c.named;
                taken = &c;
                break;
            }
    r.audio_decided = true;
    r.timeline.audio_open = false;
    // A later programme's audio goes on on the track the first one began;
    // without one, it has none.
    if (taken && (r.audio.pid || !r.new_programme)) {
        take_audio(r, *taken);
        cut_audio(r, false);
    }
    r.candidates.clear();
}

void on_candidate_packet(TsReader& r, TsAudioCandidate& c, const PacketHeader& h, const uint8_t* pkt, uint64_t pos) {
    add_audio_pes(c.stream, c.unwrap, r, c.pending_discontinuity, h, pkt, pos);
    if (c.state == Recognised::NotYet) {
        c.state = recognise_audio(c.recogniser, c.stream, false, &c.codec);
        r.dirty |= c.state != Recognised::NotYet;
    }
}

void emit_frame(TsAudio& a, const PlacedFrame& f, int64_t duration) {
    Sample s;
    s.offset = f.frame.offset;
    s.size = f.frame.size;
    s.duration = uint32_t(std::clamp<int64_t>(duration, 0, UINT32_MAX));
    s.sync = true;
    a.out.samples.push_back(s);
    ++a.out.count;
}

void pass_frame(TsAudio& a, const PlacedFrame& f) {
    // Frames presented before the first picture are left out, when the
    // pictures before it were.
    if (a.cut_before && f.time * int64_t(kTsClock) < *a.cut_before * int64_t(a.clock.timescale)) return;
    a.cut_before.reset();
    if (!a.out.first_time) {
        a.out.first_ticks = f.time;
        a.out.first_time = f.time * int64_t(kTsClock) / int64_t(a.clock.timescale);
    }
    if (a.last) emit_frame(a, *a.last, f.time - a.last->time);
    a.last = f;
}

// Frames wait until the video's first picture is placed (or there is no
// video to wait for, or they have waited long enough).
void open_audio_gate(TsReader& r, bool final) {
    TsAudio& a = r.audio;
    if (a.gate_open) return;
    const std::optional<int64_t> video_start = r.video.out.first_time;
    const int64_t waited = a.held.empty() ? 0 : a.held.back().time - a.held.front().time;
    if (!video_start && !final && waited < kAudioStartWait * int64_t(a.clock.timescale)) return;
    a.gate_open = true;
    if (video_start && r.video.dropped) a.cut_before = video_start;
    for (const auto& f : a.held) pass_frame(a, f);
    a.held.clear();
}

void pump(TsReader& r, bool final) {
    TsVideo& v = r.video;
    for (bool progress = true; progress;) {
        progress = false;
        if (!v.clock.frame_duration && !v.cutter.sets.sps.empty()) {
            const ByteSpan sps = v.cutter.sets.sps.front();
            if (v.codec == VideoCodec::Hevc) {
                if (auto s = hevc::parse_sps(sps)) v.clock.frame_duration = s->frame_duration_90k();
            } else if (auto s = h264::parse_sps(sps)) {
                v.clock.frame_duration = s->frame_duration_90k();
            }
        }
        place_pictures(v.clock, r.timeline, r.reference.value_or(0), final, [&](const PlacedPicture& p) {
            on_placed_picture(v, p);
            progress = true;
        });
        if (!r.audio_decided) {
            const bool long_enough = v.last && v.out.first_time && v.last->dts - *v.out.first_time >= kAudioDecision;
            decide_audio(r, final || long_enough || r.seen - r.accepted_at >= kAudioDecisionBytes);
            if (r.audio_decided) progress = true;
        }
        if (r.audio.pid) {
            TsAudio& a = r.audio;
            place_frames(a.clock, r.timeline, final, [&](const PlacedFrame& f) {
                if (a.gate_open) pass_frame(a, f);
                else a.held.push_back(f);
                progress = true;
            });
            if (!a.gate_open) {
                open_audio_gate(r, final);
                progress |= a.gate_open;
            }
        }
    }
}

void add_candidates(TsReader& r, const std::vector<PmtEntry>& streams) {
    r.candidates.clear();
    for (const auto& e : streams) {
        if (!may_carry_audio(e) && !may_carry_dolby(e)) continue;
        if (std::any_of(r.candidates.begin(), r.candidates.end(), [&](const auto& c) { return c.pid == e.pid; })) continue;
        TsAudioCandidate c;
        c.pid = e.pid;
        c.recogniser.dolby = may_carry_dolby(e);
        c.named = audio_codec_by_type(e.stream_type);
        r.candidates.push_back(std::move(c));
    }
    r.audio_decided = r.candidates.empty();
    r.timeline.audio_open = !r.audio_decided && !r.audio.pid;
}

void set_video_stream(TsReader& r, const std::vector<PmtEntry>& streams) {
    for (const auto& e : streams)
        if (is_carried_video(e.stream_type)) {
            r.video.pid = e.pid;
            r.video.codec = e.stream_type == kHevc ? VideoCodec::Hevc : VideoCodec::H264;
            r.video.cutter.codec = r.video.codec;
            return;
        }
}

void on_packet(TsReader& r, const uint8_t* pkt, uint64_t pos, const StreamBytes& s);

void accept_programme(TsReader& r, std::vector<PmtEntry> streams, const StreamBytes& s, uint64_t pos) {
    r.accepted = true;
    r.accepted_at = pos;
    r.streams = std::move(streams);
    r.first_streams = r.streams;
    set_video_stream(r, r.streams);
    r.timeline.video = true;
    add_candidates(r, r.streams);
    // The packets that came before the PMT belong to the programme all the
    // same.
    std::deque<uint64_t> early = std::move(r.early);
    r.early.clear();
    for (uint64_t at : early)
        if (at >= s.at) on_packet(r, s.ptr(at), at, s);
}

// A new programme: what is open of the old one is closed, and the new
// one's streams go on on the same tracks and timeline.
void change_programme(TsReader& r, std::vector<PmtEntry> streams) {
    TsVideo& v = r.video;
    finish_access_units(v.cutter, v.es, [&](const AccessUnit& u) { on_unit(r, u); });
    v.cutter.scanner.last = v.cutter.scanner.before_last = 1;
    v.pending_discontinuity = false;
    v.restart = true;
    cut_audio(r, true);
    r.new_programme = true;
    r.streams = std::move(streams);
    set_video_stream(r, r.streams);
    add_candidates(r, r.streams);
}

// A PAT or PMT section that starts in this packet (H.222.0 2.4.4).
void on_tables(TsReader& r, const PacketHeader& h, const uint8_t* pkt, const StreamBytes& s, uint64_t pos) {
    const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
    if (h.pid == 0) {
        if (h.payload_at <= 175)
            if (auto pid = parse_pat(payload)) r.pmt_pid = *pid;
        return;
    }
    if (h.payload_at > 172) return;
    std::vector<PmtEntry> streams = parse_pmt(payload);
    if (!names_video(streams)) {
        if (!r.accepted)
            for (const auto& e : streams)
                if (!r.uncarried_video && uncarried_video_name(e.stream_type)) r.uncarried_video = e.stream_type;
        return;
    }
    if (!r.accepted) accept_programme(r, std::move(streams), s, pos);
    else if (!same_streams(streams, r.streams)) change_programme(r, std::move(streams));
}

void on_packet(TsReader& r, const uint8_t* pkt, uint64_t pos, const StreamBytes& s) {
    const PacketHeader h = read_header(pkt);
    const bool table = h.pid == 0 || (r.pmt_pid && h.pid == *r.pmt_pid);
    if (table) {
        if (h.unit_start && h.payload_at < kTsPacketSize) on_tables(r, h, pkt, s, pos);
        if (h.pid == 0 || !r.accepted || h.pid != r.video.pid) return;
    }
    if (!r.accepted) {
        r.early.push_back(pos);
        if (r.early.size() > kEarlyPackets) r.early.pop_front();
        return;
    }
    if (r.video.pid && h.pid == *r.video.pid) {
        on_video_packet(r, h, pkt, pos);
        return;
    }
    TsAudio& a = r.audio;
    if (a.pid && h.pid == *a.pid && r.audio_decided) {
        add_audio_pes(a.stream, a.unwrap, r, a.pending_discontinuity, h, pkt, pos);
        cut_audio(r, false);
        return;
    }
    for (auto& c : r.candidates)
        if (c.pid == h.pid) {
            on_candidate_packet(r, c, h, pkt, pos);
            return;
        }
}

// The input ends (for now): what is open is closed, every sample waiting
// comes out. Bytes that come later go on on the same tracks and timeline,
// as a stream that was cut at an access unit's boundary.
void end_input(TsReader& r) {
    r.ended = true;
    if (!r.accepted) return;
    TsVideo& v = r.video;
    finish_access_units(v.cutter, v.es, [&](const AccessUnit& u) { on_unit(r, u); });
    v.cutter.scanner.last = v.cutter.scanner.before_last = 1;
    if (!v.held.empty()) release_held(v);
    for (auto& c : r.candidates)
        if (c.state == Recognised::NotYet) c.state = recognise_audio(c.recogniser, c.stream, true, &c.codec);
    decide_audio(r, true);
    cut_audio(r, true);
    // Each track proposes its joins before either is made to settle them.
    pump(r, false);
    pump(r, true);
    if (v.last) {
        const int64_t d = v.dts_before_last ? v.last->dts - *v.dts_before_last : v.clock.step();
        emit_picture(v, *v.last, d);
        v.dts_before_last = v.last->dts;
        v.last.reset();
    }
    TsAudio& a = r.audio;
    if (a.pid) {
        open_audio_gate(r, true);
        if (a.last) {
            emit_frame(a, *a.last, a.clock.frame_ticks);
            a.last.reset();
        }
    }
}

void append_line(std::string& report, const char* format, auto... args) {
    char line[160];
    std::snprintf(line, sizeof line, format, args...);
    report += line;
}

}  // namespace

bool is_carried_video(uint8_t stream_type) {
    return stream_type == kH264 || stream_type == kMpeg2Video || stream_type == kHevc;
}

std::string unsupported_video_message(uint8_t stream_type) {
    const char* name = uncarried_video_name(stream_type);
    char text[96];
    std::snprintf(text, sizeof text, "Unsupported video stream type 0x%02X (%s)", unsigned(stream_type),
                  name ? name : "unknown");
    return text;
}

bool read_ts_packet(TsReader& r, const StreamBytes& s) {
    r.seen = std::max(r.seen, s.end());
    uint64_t at = 0;
    if (next_packet(r.framer, s, &at) != Framed::Packet) return false;
    r.ended = false;
    on_packet(r, s.ptr(at), at, s);
    if (r.dirty) {
        pump(r, false);
        r.dirty = false;
    }
    return true;
}

void end_ts(TsReader& r, const StreamBytes& s) {
    // What is left of a packet is dropped; later bytes are framed afresh.
    r.framer.pos = std::max(r.framer.pos, s.end());
    r.framer.stride.reset();
    if (!r.ended) end_input(r);
}

Result<void> read_ts(TsReader& r, const StreamBytes& s) {
    while (read_ts_packet(r, s)) {
    }
    if (s.final) end_ts(r, s);
    return {};
}

uint64_t nal_number(const TsReader&, const Sample& s) { return s.first_nal; }

void drop_taken(TsReader& r, std::optional<uint64_t> video_nal, std::optional<uint64_t> audio_offset) {
    TsVideo& v = r.video;
    NalList& nals = v.cutter.nals;
    uint64_t nal = video_nal.value_or(nals.end());
    auto keep_nal = [&](uint64_t n) { nal = std::min(nal, n); };
    if (!v.out.samples.empty()) keep_nal(nal_number(r, v.out.samples.front()));
    if (v.last) keep_nal(v.last->unit.first_nal);
    if (!v.clock.waiting.empty()) keep_nal(v.clock.waiting.front().unit.first_nal);
    if (!v.held.empty()) keep_nal(v.held.front().unit.first_nal);
    if (v.cutter.open) keep_nal(v.cutter.unit.first_nal);
    // The stream's bytes from the first NAL unit kept, or from what the
    // cutter still reads.
    uint64_t pos = v.cutter.scanner.code ? v.cutter.scanner.unit_start : v.cutter.scanner.scanned;
    if (v.cutter.open) pos = std::min(pos, v.cutter.unit.start);
    if (nal < nals.end()) pos = std::min(pos, nals.ranges[size_t(nal - nals.base)].offset);
    pos = pos > 4 ? pos - 4 : 0;
    nals.drop_before(nal);
    v.es.drop_before(pos);

    TsAudio& a = r.audio;
    if (!a.pid) return;
    uint64_t at = std::min(audio_offset.value_or(a.cutter.pos), a.cutter.pos);
    if (!a.out.samples.empty()) at = std::min(at, a.out.samples.front().offset);
    if (a.last) at = std::min(at, a.last->frame.offset);
    if (!a.held.empty()) at = std::min(at, a.held.front().frame.offset);
    if (!a.clock.waiting.empty()) at = std::min(at, a.clock.waiting.front().frame.offset);
    if (a.cutter.held) at = std::min(at, a.cutter.held->offset);
    // AAC frames begin after their header: keep it with them.
    at = at > 16 ? at - 16 : 0;
    a.stream.drop_before(std::max(at, a.stream.base), a.cutter.mark == kNoPes ? a.stream.pes_base : a.cutter.mark);
}

uint64_t ts_input_needed_from(const TsReader& r) {
    uint64_t from = r.framer.pos;
    if (!r.accepted && !r.early.empty()) from = std::min(from, r.early.front());
    return std::min(from, r.video.es.first_input_position(from));
}

bool ts_tracks_known(const TsReader& r) {
    if (r.ended) return true;
    const TsVideo& v = r.video;
    if (!v.out.first_time || !r.audio_decided) return false;
    if (!r.audio.pid || r.audio.out.first_time) return true;
    // Audio that has not begun after some seconds of video is left out.
    return v.last && v.last->dts - *v.out.first_time >= kAudioStartWait * int64_t(kTsClock);
}

std::string ts_report(const TsReader& r) {
    std::string out;
    const TsVideo& v = r.video;
    const TsAudio& a = r.audio;
    const std::optional<uint16_t> video_pid = r.first_streams ? v.pid : std::nullopt;
    if (video_pid) {
        if (a.pid) append_line(out, "Found PIDs - Video: %u, Audio: %u\n", unsigned(*video_pid), unsigned(*a.pid));
        else append_line(out, "Found PIDs - Video: %u, Audio: none\n", unsigned(*video_pid));
    }
    append_line(out, "Total audio frames collected: %llu\n", (unsigned long long)a.frames);
    append_line(out, "Total video frames collected: %llu\n", (unsigned long long)v.pes_count);
    if (a.frames > 0 && a.first_pts && a.last_pts)
        append_line(out, "Audio PTS range: %llu - %llu (%.2f - %.2f sec)\n", (unsigned long long)*a.first_pts,
                    (unsigned long long)*a.last_pts, double(*a.first_pts) / 90000.0, double(*a.last_pts) / 90000.0);
    if (v.pes_count > 0 && v.first_pts && v.last_pts)
        append_line(out, "Video PTS range: %llu - %llu (%.2f - %.2f sec)\n", (unsigned long long)*v.first_pts,
                    (unsigned long long)*v.last_pts, double(*v.first_pts) / 90000.0, double(*v.last_pts) / 90000.0);
    // Streams of a kind the module does not carry are left out, and said so.
    for (const auto& e : r.streams) {
        if (is_carried_video(e.stream_type) || e.stream_type == 0x0F || e.stream_type == 0x03 || e.stream_type == 0x04)
            continue;
        if (a.pid && e.pid == *a.pid) continue;
        append_line(out, "Skipped PID %u: stream type 0x%02X\n", unsigned(e.pid), unsigned(e.stream_type));
    }
    return out;
}

}  // namespace morvex
