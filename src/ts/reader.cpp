// The transport stream reader: packets routed by PID, the programme chosen
// from the PAT and followed through its PMT's versions, the clocks run, and
// the input's end; the video and audio pipelines are in reader_video.cpp
// and reader_audio.cpp.
#include "ts/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ts/pes.h"
#include "ts/reader_parts.h"

namespace morvex {

namespace ts_reader {

PacketHeader read_header(const uint8_t* pkt) {
    PacketHeader h;
    h.error = pkt[1] & 0x80;
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

std::optional<uint64_t> pes_body_length(ByteSpan p) {
    // PES_packet_length counts the bytes after its own field: the two flag
    // bytes, the header data and the body (H.222.0 2.4.3.7); 0 is unbounded.
    if (p.size() < 9 || p[0] != 0 || p[1] != 0 || p[2] != 1) return std::nullopt;
    const uint64_t length = uint64_t(p[4]) << 8 | p[5];
    if (length == 0) return std::nullopt;
    const uint64_t header = 3 + uint64_t(p[8]);
    return length > header ? length - header : 0;
}

std::optional<int64_t> lead_time(const TsReader& r) {
    if (r.video.pid) return r.video.clock.prev_dts;
    if (r.audio.empty() || !r.audio.front().clock.prev) return std::nullopt;
    const AudioClock& c = r.audio.front().clock;
    return *c.prev * int64_t(kTsClock) / int64_t(c.timescale);
}

}  // namespace ts_reader

namespace {

using namespace ts_reader;

constexpr uint8_t kH264 = 0x1B, kMpeg2Video = 0x02, kHevc = 0x24;

// Packets kept, before the programme's PMT arrives, to be read once it has;
// and the input after a PAT within which its programmes' PMTs are waited
// for, to choose the programme in the PAT's order.
constexpr size_t kEarlyPackets = 32 * 1024;
constexpr uint64_t kChoiceWait = kEarlyPackets * kTsPacketSize;
// Audio that has not begun after this long of the lead is left out of the
// tracks known at the start (seconds).
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

const PmtEntry* first_video(const std::vector<PmtEntry>& streams) {
    for (const auto& e : streams)
        if (is_carried_video(e.stream_type)) return &e;
    return nullptr;
}

bool names_any_video(const std::vector<PmtEntry>& streams) {
    return std::any_of(streams.begin(), streams.end(),
                       [](const PmtEntry& e) { return is_carried_video(e.stream_type) || uncarried_video_name(e.stream_type); });
}

bool names_audio(const std::vector<PmtEntry>& streams) { return std::any_of(streams.begin(), streams.end(), is_audio_entry); }

bool same_streams(const std::vector<PmtEntry>& a, const std::vector<PmtEntry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PmtEntry& x, const PmtEntry& y) {
        return x.stream_type == y.stream_type && x.pid == y.pid;
    });
}

VideoCodec video_codec_of(uint8_t stream_type) {
    return stream_type == kHevc ? VideoCodec::Hevc : stream_type == kMpeg2Video ? VideoCodec::Mpeg2 : VideoCodec::H264;
}

void on_packet(TsReader& r, const uint8_t* pkt, uint64_t pos, const StreamBytes& s);

void note_streams(TsReader& r, const std::vector<PmtEntry>& streams) {
    for (const auto& e : streams)
        if (std::none_of(r.all_streams.begin(), r.all_streams.end(), [&](const PmtEntry& x) { return x.pid == e.pid; }))
            r.all_streams.push_back(e);
}

void accept_programme(TsReader& r, const TsProgramme& p, const StreamBytes& s, uint64_t pos) {
    r.accepted = true;
    r.accepted_at = pos;
    r.pmt_pid = p.pmt_pid;
    r.program_number = p.number;
    r.streams = *p.streams;
    r.first_streams = r.streams;
    note_streams(r, r.streams);
    if (const PmtEntry* e = first_video(r.streams)) set_video_stream(r, *e);
    add_candidates(r, r.streams, {}, pos);
    // The packets that came before the PMT belong to the programme all the
    // same.
    std::deque<uint64_t> early = std::move(r.early);
    r.early.clear();
    for (uint64_t at : early)
        if (at >= s.at) on_packet(r, s.ptr(at), at, s);
}

// A new version of the programme's PMT (or another programme taking its
// place): what it removed ends, what it added begins where it appears. A
// new video stream of the same kind goes on on the video track from its
// first random access point; the audio streams that come with it go on on
// the tracks of those it removed.
void update_programme(TsReader& r, const std::vector<PmtEntry>& streams, uint64_t pos) {
    if (same_streams(streams, r.streams)) return;
    note_streams(r, streams);
    TsVideo& v = r.video;
    bool new_video = false;
    if (const PmtEntry* e = first_video(streams)) {
        if (!v.pid) {
            set_video_stream(r, *e);  // video that begins later
        } else if ((e->pid != *v.pid || e->stream_type != v.stream_type) && video_codec_of(e->stream_type) == v.codec) {
            close_video(r, false);
            v.pending_discontinuity = false;
            v.restart = true;
            v.cc = {};
            v.skip_to_start = false;
            v.pes_end.reset();
            set_video_stream(r, *e);
            new_video = true;
            r.new_programme = true;
        }
    }
    auto named = [&](uint16_t pid) {
        return std::any_of(streams.begin(), streams.end(), [&](const PmtEntry& e) { return e.pid == pid && is_audio_entry(e); });
    };
    std::vector<size_t> vacated;
    for (size_t k = 0; k < r.audio.size(); ++k) {
        TsAudio& a = r.audio[k];
        if (!a.reading || named(a.pid)) continue;
        end_audio_track(r, a);
        vacated.push_back(k);
    }
    std::erase_if(r.candidates, [&](const TsAudioCandidate& c) { return !named(c.pid); });
    add_candidates(r, streams, new_video ? vacated : std::vector<size_t>{}, pos);
    r.streams = streams;
    r.dirty = true;
}

// The programme followed: the first of the PAT whose PMT names video the
// module carries; when none does, the first that names audio and no video.
// A programme whose PMT has not come yet is waited for (up to a few MB of
// input, or the end of the input), so that the PAT's order decides.
void choose_programme(TsReader& r, const StreamBytes& s, uint64_t pos, bool final) {
    const bool waited = final || r.seen - r.pat_at >= kChoiceWait;
    const TsProgramme* radio = nullptr;
    const TsProgramme* chosen = nullptr;
    for (const TsProgramme& p : r.programmes) {
        if (!p.streams) {
            if (!waited) return;
            continue;
        }
        if (first_video(*p.streams)) {
            chosen = &p;
            break;
        }
        for (const auto& e : *p.streams)
            if (!r.uncarried_video && uncarried_video_name(e.stream_type)) r.uncarried_video = e.stream_type;
        if (!radio && !names_any_video(*p.streams) && names_audio(*p.streams)) radio = &p;
    }
    if (!chosen) chosen = radio;
    if (!chosen) return;
    if (!r.accepted) {
        accept_programme(r, *chosen, s, pos);
        return;
    }
    r.pmt_pid = chosen->pmt_pid;
    r.program_number = chosen->number;
    update_programme(r, *chosen->streams, pos);
}

// A PAT or PMT section that starts in this packet (H.222.0 2.4.4).
void on_tables(TsReader& r, const PacketHeader& h, const uint8_t* pkt, const StreamBytes& s, uint64_t pos) {
    const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
    if (h.pid == 0) {
        if (h.payload_at > 175) return;
        const auto pat = parse_pat(payload);
        if (!pat) return;
        const bool same = std::equal(pat->begin(), pat->end(), r.programmes.begin(), r.programmes.end(),
                                     [](const PatEntry& a, const TsProgramme& b) { return a.program_number == b.number && a.pmt_pid == b.pmt_pid; });
        if (same) return;
        std::vector<TsProgramme> programmes;
        for (const PatEntry& e : *pat) {
            TsProgramme p{e.program_number, e.pmt_pid, std::nullopt};
            for (const TsProgramme& old : r.programmes)
                if (old.number == p.number && old.pmt_pid == p.pmt_pid) p.streams = old.streams;
            programmes.push_back(std::move(p));
        }
        r.programmes = std::move(programmes);
        r.pat_at = pos;
        // A PAT without the programme followed: the choice is made again.
        if (r.accepted && std::none_of(r.programmes.begin(), r.programmes.end(), [&](const TsProgramme& p) {
                return r.pmt_pid && p.pmt_pid == *r.pmt_pid && p.number == r.program_number;
            }))
            r.pmt_pid.reset();
        return;
    }
    if (h.payload_at > 172) return;
    const auto pmt = parse_pmt(payload);
    if (!pmt) return;
    const size_t on_pid = size_t(std::count_if(r.programmes.begin(), r.programmes.end(),
                                               [&](const TsProgramme& p) { return p.pmt_pid == h.pid; }));
    TsProgramme* programme = nullptr;
    for (TsProgramme& p : r.programmes)
        if (p.pmt_pid == h.pid && (p.number == pmt->program_number || on_pid == 1)) programme = &p;
    if (!programme) return;
    programme->streams = pmt->streams;
    if (r.accepted && r.pmt_pid && *r.pmt_pid == programme->pmt_pid && r.program_number == programme->number) {
        update_programme(r, pmt->streams, pos);
        return;
    }
    if (!r.accepted || !r.pmt_pid) choose_programme(r, s, pos, false);
}

bool is_table_pid(const TsReader& r, uint16_t pid) {
    if (pid == 0) return true;
    return std::any_of(r.programmes.begin(), r.programmes.end(), [&](const TsProgramme& p) { return p.pmt_pid == pid; });
}

void on_packet(TsReader& r, const uint8_t* pkt, uint64_t pos, const StreamBytes& s) {
    const PacketHeader h = read_header(pkt);
    // A packet the channel marks as damaged is dropped whole (a continuity
    // gap then tells its PID's reader what was lost).
    if (h.error) return;
    if (is_table_pid(r, h.pid)) {
        if (h.unit_start && h.payload_at < kTsPacketSize) on_tables(r, h, pkt, s, pos);
        if (h.pid == 0 || !r.accepted || h.pid != r.video.pid) return;
    }
    if (!r.accepted) {
        r.early.push_back(pos);
        if (r.early.size() > kEarlyPackets) r.early.pop_front();
        // Programmes whose PMT never comes are not waited for past the bound.
        if (!r.programmes.empty() && r.seen - r.pat_at >= kChoiceWait) choose_programme(r, s, pos, false);
        return;
    }
    if (r.video.pid && h.pid == *r.video.pid) {
        on_video_packet(r, h, pkt, pos);
        return;
    }
    for (TsAudio& a : r.audio)
        if (a.reading && a.pid == h.pid) {
            on_audio_packet(r, a, h, pkt, pos);
            return;
        }
    for (auto& c : r.candidates)
        if (c.pid == h.pid) {
            on_candidate_packet(r, c, h, pkt, pos);
            return;
        }
}

void pump(TsReader& r, bool final) {
    for (bool progress = true; progress;) {
        progress = false;
        if (r.video.pid) progress |= place_video(r, final);
        if (!r.candidates.empty()) progress |= decide_audio(r, final || audio_decision_due(r));
        for (TsAudio& a : r.audio) progress |= place_audio(r, a, final);
    }
}

// The input ends (for now): what is open is closed, every sample waiting
// comes out. Bytes that come later go on on the same tracks and timeline,
// as a stream that was cut at an access unit's boundary.
void end_input(TsReader& r, const StreamBytes& s) {
    r.ended = true;
    if (!r.accepted || !r.pmt_pid) choose_programme(r, s, r.seen, true);
    if (!r.accepted) return;
    TsVideo& v = r.video;
    if (v.pid) close_video(r, true);
    for (auto& c : r.candidates)
        if (c.state == Recognised::NotYet) c.state = recognise_audio(c.recogniser, c.stream, true, &c.codec);
    decide_audio(r, true);
    for (TsAudio& a : r.audio) cut_audio(r, a, true);
    // Each track proposes its joins before any is made to settle them.
    pump(r, false);
    pump(r, true);
    finish_video(r);
    for (TsAudio& a : r.audio) finish_audio(r, a);
}

void append_line(std::string& report, const char* format, auto... args) {
    char line[160];
    std::snprintf(line, sizeof line, format, args...);
    report += line;
}

// How long the lead has run since the programme's first picture (or audio
// frame), 90 kHz.
int64_t lead_span(const TsReader& r) {
    const TsVideo& v = r.video;
    if (v.pid) return v.last && v.out.first_time ? v.last->dts - *v.out.first_time : 0;
    int64_t span = 0;
    for (const TsAudio& a : r.audio)
        if (a.last && a.out.first_time)
            span = std::max(span, a.last->time * int64_t(kTsClock) / int64_t(a.clock.timescale) - *a.out.first_time);
    return span;
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
    if (!r.ended) end_input(r, s);
}

Result<void> read_ts(TsReader& r, const StreamBytes& s) {
    while (read_ts_packet(r, s)) {
    }
    if (s.final) end_ts(r, s);
    return {};
}

uint64_t nal_number(const TsReader&, const Sample& s) { return s.first_nal; }

void drop_taken(TsReader& r, const Sample* video_first, const std::vector<std::optional<uint64_t>>& audio_offsets) {
    TsVideo& v = r.video;
    NalList& nals = v.cutter.nals;
    uint64_t nal = nals.end();
    // The stream's bytes from the first unit kept, or from what the cutter
    // still reads.
    uint64_t pos = v.cutter.scanner.code ? v.cutter.scanner.unit_start : v.cutter.scanner.scanned;
    auto keep_sample = [&](const Sample& s) {
        // A sample holds either its first NAL unit's number or, without NAL
        // units (MPEG-2 video), its offset in the stream.
        if (s.nal_count > 0) nal = std::min(nal, nal_number(r, s));
        else pos = std::min(pos, s.offset);
    };
    auto keep_unit = [&](const AccessUnit& u) {
        nal = std::min(nal, u.first_nal);
        pos = std::min(pos, u.start);
    };
    if (video_first) keep_sample(*video_first);
    if (!v.out.samples.empty()) keep_sample(v.out.samples.front());
    if (v.last) keep_unit(v.last->unit);
    if (!v.clock.waiting.empty()) keep_unit(v.clock.waiting.front().unit);
    if (!v.held.empty()) keep_unit(v.held.front().unit);
    if (v.first_field) keep_unit(v.first_field->unit);
    if (v.cutter.open) keep_unit(v.cutter.unit);
    if (nal < nals.end()) pos = std::min(pos, nals.ranges[size_t(nal - nals.base)].offset);
    pos = pos > 4 ? pos - 4 : 0;
    nals.drop_before(nal);
    v.es.drop_before(pos);
    while (!v.cutter.breaks.empty() && v.cutter.breaks.front() < pos) v.cutter.breaks.pop_front();

    for (size_t k = 0; k < r.audio.size(); ++k) {
        TsAudio& a = r.audio[k];
        const std::optional<uint64_t> held = k < audio_offsets.size() ? audio_offsets[k] : std::nullopt;
        uint64_t at = std::min(held.value_or(a.cutter.pos), a.cutter.pos);
        if (!a.out.samples.empty()) at = std::min(at, a.out.samples.front().offset);
        if (a.last) at = std::min(at, a.last->frame.offset);
        if (!a.held.empty()) at = std::min(at, a.held.front().frame.offset);
        if (!a.clock.waiting.empty()) at = std::min(at, a.clock.waiting.front().frame.offset);
        if (a.cutter.held) at = std::min(at, a.cutter.held->offset);
        // AAC frames begin after their header: keep it with them.
        at = at > 16 ? at - 16 : 0;
        a.stream.drop_before(std::max(at, a.stream.base), a.cutter.mark == kNoPes ? a.stream.pes_base : a.cutter.mark);
    }
}

uint64_t ts_input_needed_from(const TsReader& r) {
    uint64_t from = r.framer.pos;
    if (!r.accepted && !r.early.empty()) from = std::min(from, r.early.front());
    return std::min(from, r.video.es.first_input_position(from));
}

bool ts_has_video(const TsReader& r) { return r.video.pid.has_value(); }

bool ts_tracks_known(const TsReader& r) {
    if (r.ended) return true;
    if (!r.accepted || !r.candidates.empty()) return false;
    const TsVideo& v = r.video;
    if (v.pid && !v.out.first_time) return false;
    if (!v.pid && r.audio.empty()) return false;
    // Audio that has not begun after some seconds of the lead is left out.
    const bool waited = lead_span(r) >= kAudioStartWait * int64_t(kTsClock);
    for (const TsAudio& a : r.audio)
        if (a.reading && !a.out.first_time && !waited) return false;
    return true;
}

std::string ts_report(const TsReader& r) {
    std::string out;
    const TsVideo& v = r.video;
    if (r.first_streams) {
        std::string audio;
        for (const TsAudio& a : r.audio) {
            if (!audio.empty()) audio += ", ";
            audio += std::to_string(a.pid);
        }
        if (audio.empty()) audio = "none";
        if (v.pid) append_line(out, "Found PIDs - Video: %u, Audio: %s\n", unsigned(*v.pid), audio.c_str());
        else append_line(out, "Found PIDs - Video: none, Audio: %s\n", audio.c_str());
    }
    uint64_t frames = 0, audio_dropped = 0;
    for (const TsAudio& a : r.audio) {
        frames += a.frames;
        audio_dropped += a.cutter.dropped;
    }
    append_line(out, "Total audio frames collected: %llu\n", (unsigned long long)frames);
    append_line(out, "Total video frames collected: %llu\n", (unsigned long long)v.pes_count);
    if (!r.audio.empty()) {
        const TsAudio& a = r.audio.front();
        if (a.frames > 0 && a.first_pts && a.last_pts)
            append_line(out, "Audio PTS range: %llu - %llu (%.2f - %.2f sec)\n", (unsigned long long)*a.first_pts,
                        (unsigned long long)*a.last_pts, double(*a.first_pts) / 90000.0, double(*a.last_pts) / 90000.0);
    }
    if (v.pes_count > 0 && v.first_pts && v.last_pts)
        append_line(out, "Video PTS range: %llu - %llu (%.2f - %.2f sec)\n", (unsigned long long)*v.first_pts,
                    (unsigned long long)*v.last_pts, double(*v.first_pts) / 90000.0, double(*v.last_pts) / 90000.0);
    if (v.cutter.dropped > 0 || audio_dropped > 0)
        append_line(out, "Damaged frames dropped - Video: %llu, Audio: %llu\n", (unsigned long long)v.cutter.dropped,
                    (unsigned long long)audio_dropped);
    // Streams the module does not carry are left out, and said so.
    for (const auto& e : r.all_streams) {
        const auto has = [&](const std::vector<uint16_t>& pids) { return std::find(pids.begin(), pids.end(), e.pid) != pids.end(); };
        if (has(r.carried) && !has(r.left_out)) continue;
        append_line(out, "Skipped PID %u: stream type 0x%02X\n", unsigned(e.pid), unsigned(e.stream_type));
    }
    return out;
}

}  // namespace morvex
