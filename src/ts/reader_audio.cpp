// The audio pipeline of the transport stream reader: each audio stream of
// the PMT is a candidate until its bytes say what it carries; then a track,
// whose PES are cut into frames, timed by the clock, held until the video's
// first picture is known, and given out once the next frame's time is.
#include <algorithm>

#include "ts/pes.h"
#include "ts/reader_parts.h"

namespace morvex::ts_reader {
namespace {

constexpr uint8_t kLatm = 0x11;
// Audio tracks (with the streams still to be told) at the most: each costs
// work at every packet, and PMT versions could name new PIDs without end.
constexpr size_t kMaxAudioTracks = 32;
// Frames that wait for the video's first picture, at the most (seconds).
constexpr int64_t kAudioStartWait = 10;

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
        case kLatm: return AudioCodec::Latm;
        default: return std::nullopt;
    }
}

// The audio track's clock and frame length. 48 kHz AAC counts on the 90 kHz
// clock (1920 ticks a frame of 1024 samples); other audio in its own
// samples (AC-3 and E-AC-3: 1536 a frame, ETSI TS 102 366 F.2).
void set_audio_format(TsAudio& a) {
    const AudioConfigs& c = a.cutter.configs;
    AudioClock& k = a.clock;
    a.described = true;
    uint32_t rate = 0, samples = aac::kSamplesPerFrame;
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
        case AudioCodec::Latm:
            if (c.latm) rate = c.latm->sample_rate, samples = c.latm->frame_samples;
            else a.described = false;
            break;
        case AudioCodec::Aac:
            rate = aac::sample_rate(c.aac.value_or(aac::AdtsHeader{}).sampling_frequency_index);
            break;
    }
    if (rate == 0 || rate == 48000) k.timescale = kTsClock, k.frame_ticks = samples * kTsClock / 48000;
    else k.timescale = rate, k.frame_ticks = samples;
}

void on_frame(TsReader& r, TsAudio& a, const AudioFrame& f) {
    if (!a.format_known) {
        set_audio_format(a);
        a.format_known = true;
        a.clock.shift = to_timescale(a.start_shift, a.clock.timescale);
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

// A packet of an audio stream into its PES. A continuity gap leaves a break
// where the stream's bytes were lost (unless the PES's length says it had
// ended), and the rest of the PES is dropped.
void add_audio_pes(AudioStream& s, Unwrapper& unwrap, ContinuityCounter& cc, bool& skip_to_start, TsReader& r,
                   bool& pending_discontinuity, const PacketHeader& h, const uint8_t* pkt, uint64_t pos) {
    pending_discontinuity |= h.discontinuity;
    if (h.payload_at >= kTsPacketSize) return;
    switch (cc.check(pkt, h.discontinuity)) {
        case Continuity::Duplicate: return;
        case Continuity::Gap:
            if (!(s.pes_end && s.end() >= *s.pes_end) && (s.breaks.empty() || s.breaks.back() != s.end()))
                s.breaks.push_back(s.end());
            if (!h.unit_start) {
                skip_to_start = true;
                return;
            }
            break;
        case Continuity::Next: break;
    }
    const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
    if (!h.unit_start) {
        if (!skip_to_start) s.add(payload);
        return;
    }
    skip_to_start = false;
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
    const std::optional<uint64_t> length = pes_body_length(payload);
    s.pes_end = length ? std::optional(s.end() + *length) : std::nullopt;
    if (auto body = pes_payload_after_header(payload)) s.add(*body);
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
void open_audio_gate(TsReader& r, TsAudio& a, bool final) {
    if (a.gate_open) return;
    const std::optional<int64_t> video_start = r.video.out.first_time;
    const int64_t waited = a.held.empty() ? 0 : a.held.back().time - a.held.front().time;
    if (r.video.pid && !video_start && !final && waited < kAudioStartWait * int64_t(a.clock.timescale)) return;
    a.gate_open = true;
    if (video_start && r.video.dropped) a.cut_before = video_start;
    for (const auto& f : a.held) pass_frame(a, f);
    a.held.clear();
}

// The candidate's stream behind what the track has read: a stream of a new
// programme (`join`: it starts a new piece of timeline, as the video
// does), or the track's own stream that the PMT names again.
void go_on(TsReader& r, TsAudio& a, TsAudioCandidate& c, bool join) {
    a.pid = c.pid;
    a.reading = true;
    r.timeline.active[a.clock.participant] = true;
    a.unwrap = c.unwrap;
    a.pending_discontinuity = c.pending_discontinuity;
    a.cc = c.cc;
    a.skip_to_start = c.skip_to_start;
    const uint64_t at = a.stream.end();
    const uint64_t from = c.stream.base;
    append(a.stream.data, ByteSpan(c.stream.data));
    if (a.stream.in_place) a.stream.pieces.add_from(c.stream.pieces, from);
    for (size_t k = 0; k < c.stream.pes.size(); ++k) {
        PesMark m = c.stream.pes[k];
        m.offset = m.offset - from + at;
        if (k == 0 && join) m.discontinuity = true;
        a.stream.pes.push_back(m);
    }
    for (uint64_t b : c.stream.breaks) a.stream.breaks.push_back(b - from + at);
    a.stream.pes_end = c.stream.pes_end ? std::optional(*c.stream.pes_end - from + at) : std::nullopt;
    a.cutter.pos = at;
    if (!join) {
        // From where it appears again, with the moves settled so far.
        AudioClock& k = a.clock;
        k.anchored = false;
        k.prev.reset();
        k.shift = to_timescale(r.timeline.settled_shift(), k.timescale);
        k.joins = r.timeline.joins.size();
    }
}

// A candidate becomes a track: it goes on on the track of the stream it
// replaces, or on its own track that the PMT names again, or begins a new
// track from where it appears.
void take_audio(TsReader& r, TsAudioCandidate& c, AudioCodec codec) {
    r.carried.push_back(c.pid);
    auto fits = [&](const TsAudio& a) { return !a.reading && a.codec == codec; };
    if (c.replaces && *c.replaces < r.audio.size() && fits(r.audio[*c.replaces])) {
        TsAudio& a = r.audio[*c.replaces];
        go_on(r, a, c, true);
        cut_audio(r, a, false);
        return;
    }
    for (TsAudio& a : r.audio)
        if (fits(a) && a.pid == c.pid) {
            go_on(r, a, c, false);
            cut_audio(r, a, false);
            return;
        }
    TsAudio& a = r.audio.emplace_back();
    a.pid = c.pid;
    a.stream_type = c.stream_type;
    std::copy(std::begin(c.language), std::end(c.language), std::begin(a.language));
    a.codec = codec;
    a.cutter.codec = codec;
    a.stream = std::move(c.stream);
    // LATM frames are made byte-aligned in the gathered bytes, which stay
    // their samples' source.
    if (codec == AudioCodec::Latm) a.stream.in_place = false;
    a.unwrap = c.unwrap;
    a.pending_discontinuity = c.pending_discontinuity;
    a.cc = c.cc;
    a.skip_to_start = c.skip_to_start;
    a.clock.participant = add_participant(r.timeline);
    a.clock.joins = r.timeline.joins.size();
    a.start_shift = r.timeline.settled_shift();
    cut_audio(r, a, false);
}

}  // namespace

bool is_audio_entry(const PmtEntry& e) { return may_carry_audio(e) || may_carry_dolby(e) || e.stream_type == kLatm; }

void add_candidates(TsReader& r, const std::vector<PmtEntry>& streams, const std::vector<size_t>& vacated, uint64_t pos) {
    size_t next_vacated = 0;
    bool added = false;
    for (const auto& e : streams) {
        if (!is_audio_entry(e)) continue;
        const auto same = [&](const auto& x) { return x.pid == e.pid; };
        if (std::any_of(r.candidates.begin(), r.candidates.end(), same)) continue;
        if (std::any_of(r.audio.begin(), r.audio.end(), [&](const TsAudio& a) { return a.reading && a.pid == e.pid; }))
            continue;
        const bool comes_back = std::any_of(r.audio.begin(), r.audio.end(), [&](const TsAudio& a) { return a.pid == e.pid; });
        if (!comes_back && r.audio.size() + r.candidates.size() >= kMaxAudioTracks) continue;
        TsAudioCandidate& c = r.candidates.emplace_back();
        c.stream.in_place = r.audio_in_place;
        c.stream.pieces.window = r.video.es.window;
        c.pid = e.pid;
        c.stream_type = e.stream_type;
        std::copy(std::begin(e.language), std::end(e.language), std::begin(c.language));
        c.recogniser.dolby = may_carry_dolby(e);
        c.recogniser.latm = e.stream_type == kLatm;
        c.named = audio_codec_by_type(e.stream_type);
        if (next_vacated < vacated.size()) c.replaces = vacated[next_vacated++];
        added = true;
    }
    if (added) {
        r.candidates_from = pos;
        r.candidates_video_from = lead_time(r);
    }
    r.timeline.pending = !r.candidates.empty();
}

void on_candidate_packet(TsReader& r, TsAudioCandidate& c, const PacketHeader& h, const uint8_t* pkt, uint64_t pos) {
    add_audio_pes(c.stream, c.unwrap, c.cc, c.skip_to_start, r, c.pending_discontinuity, h, pkt, pos);
    if (c.state == Recognised::NotYet) {
        c.state = recognise_audio(c.recogniser, c.stream, false, &c.codec);
        r.dirty |= c.state != Recognised::NotYet;
    }
}

void on_audio_packet(TsReader& r, TsAudio& a, const PacketHeader& h, const uint8_t* pkt, uint64_t pos) {
    add_audio_pes(a.stream, a.unwrap, a.cc, a.skip_to_start, r, a.pending_discontinuity, h, pkt, pos);
    cut_audio(r, a, false);
}

bool audio_decision_due(const TsReader& r) {
    if (r.seen - r.candidates_from >= kAudioDecisionBytes) return true;
    // Counted from where the candidates came, or (the programme's first
    // ones) from the lead's first picture or frame.
    const std::optional<int64_t> now = lead_time(r);
    std::optional<int64_t> from = r.candidates_video_from;
    if (!from && r.video.pid) from = r.video.out.first_time;
    if (!from && !r.video.pid && !r.audio.empty() && r.audio.front().out.first_time) from = r.audio.front().out.first_time;
    return now && from && *now - *from >= kAudioDecision;
}

// In the PMT's order: a candidate whose bytes said what it is becomes a
// track; one not recognised yet is waited for (and those after it), until
// `force`. Then a stream its bytes did not tell is none, unless no stream
// of the programme was told: the first whose stream type names its codec
// is taken as the PMT says.
bool decide_audio(TsReader& r, bool force) {
    bool any = false;
    while (!r.candidates.empty()) {
        TsAudioCandidate& c = r.candidates.front();
        if (c.state == Recognised::NotYet && !force) break;
        if (c.state != Recognised::Yes && c.named && r.audio.empty()) {
            const auto later = [&](Recognised state) {
                return std::any_of(r.candidates.begin() + 1, r.candidates.end(), [&](const auto& x) { return x.state == state; });
            };
            if (later(Recognised::NotYet) && !force) break;
            if (!later(Recognised::Yes)) c.state = Recognised::Yes, c.codec = *c.named;
        }
        if (c.state == Recognised::Yes) take_audio(r, c, c.codec);
        r.candidates.erase(r.candidates.begin());
        any = true;
    }
    r.timeline.pending = !r.candidates.empty();
    return any;
}

void cut_audio(TsReader& r, TsAudio& a, bool final) {
    cut_audio_frames(a.cutter, a.stream, final, [&](const AudioFrame& f) { on_frame(r, a, f); });
    if (a.stream.in_place) {
        // The frames cut are written from the input; an AAC frame's
        // header lies just before it.
        uint64_t at = a.cutter.held ? std::min(a.cutter.pos, a.cutter.held->offset) : a.cutter.pos;
        a.stream.drop_data_before(at > 16 ? at - 16 : 0);
    }
}

void end_audio_track(TsReader& r, TsAudio& a) {
    cut_audio(r, a, true);
    a.reading = false;
    r.timeline.active[a.clock.participant] = false;
}

bool place_audio(TsReader& r, TsAudio& a, bool final) {
    bool progress = false;
    place_frames(a.clock, r.timeline, final || !a.reading, [&](const PlacedFrame& f) {
        if (a.gate_open) pass_frame(a, f);
        else a.held.push_back(f);
        progress = true;
    });
    if (!a.gate_open) {
        open_audio_gate(r, a, final);
        progress |= a.gate_open;
    }
    return progress;
}

void finish_audio(TsReader& r, TsAudio& a) {
    open_audio_gate(r, a, true);
    if (a.last) {
        emit_frame(a, *a.last, a.clock.frame_ticks);
        a.last.reset();
    }
}

}  // namespace morvex::ts_reader
