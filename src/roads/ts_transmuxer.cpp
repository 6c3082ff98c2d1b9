#include "roads/ts_transmuxer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "mp4/fragmented_writer.h"
#include "roads/ts_to_mp4.h"
#include "ts/demuxer.h"
#include "ts/packets.h"
#include "ts/psi.h"

namespace morvex {
namespace {

constexpr int64_t kClock = 90000;

void append(Bytes& to, ByteSpan bytes) {
    const size_t at = to.size();
    to.resize(at + bytes.size());
    if (!bytes.empty()) std::memcpy(to.data() + at, bytes.data(), bytes.size());
}

// A section's payload in a packet that starts one (H.222.0 2.4.3.2), or
// nothing.
std::optional<ByteSpan> section_start(const uint8_t* pkt, uint16_t* pid) {
    *pid = uint16_t(((pkt[1] & 0x1F) << 8) | pkt[2]);
    if (!(pkt[1] & 0x40) || !(pkt[3] & 0x10)) return std::nullopt;
    const size_t at = (pkt[3] & 0x20) ? 5 + size_t(pkt[4]) : 4;
    if (at >= kTsPacketSize) return std::nullopt;
    return ByteSpan(pkt + at, kTsPacketSize - at);
}

std::optional<uint16_t> pmt_pid_of(const Bytes& tables) {
    if (tables.size() < kTsPacketSize) return std::nullopt;
    uint16_t pid = 0;
    auto payload = section_start(tables.data(), &pid);
    return payload && pid == 0 ? parse_pat(*payload) : std::nullopt;
}

bool names_video(const std::vector<PmtEntry>& streams) {
    return std::any_of(streams.begin(), streams.end(), [](const PmtEntry& e) { return is_carried_video(e.stream_type); });
}

// Takes the segment's first PAT and PMT (one naming a video stream) when
// the state has none; returns where a PMT that names other streams than the
// state's begins (at the PAT before it, when that is in the segment too).
std::optional<size_t> scan_tables(TsTransmuxer& t, ByteSpan segment) {
    std::optional<uint16_t> pmt_pid = pmt_pid_of(t.tables);
    std::optional<size_t> pat_at;
    std::optional<size_t> change;
    for_each_packet(segment, [&](const uint8_t* pkt) -> bool {
        uint16_t pid = 0;
        auto payload = section_start(pkt, &pid);
        if (!payload) return true;
        const size_t at = size_t(pkt - segment.data());
        if (pid == 0) {
            if (auto p = parse_pat(*payload)) {
                if (pmt_pid && *p != *pmt_pid && !t.streams.empty()) {
                    change = at;  // the programme moved to another PMT
                    return false;
                }
                pmt_pid = *p;
                pat_at = at;
            }
            return true;
        }
        if (!pmt_pid || pid != *pmt_pid) return true;
        const std::vector<PmtEntry> entries = parse_pmt(*payload);
        if (!names_video(entries)) return true;
        std::vector<std::pair<uint8_t, uint16_t>> streams;
        for (const auto& e : entries) streams.emplace_back(e.stream_type, e.pid);
        const std::optional<size_t> pat_before = pat_at;
        pat_at.reset();  // a change names the PAT after the programme's last PMT
        if (t.streams.empty()) {
            Bytes tables;
            if (pat_before) append(tables, segment.subspan(*pat_before, kTsPacketSize));
            else append(tables, ByteSpan(t.tables).first(std::min<size_t>(t.tables.size(), kTsPacketSize)));
            append(tables, ByteSpan(pkt, kTsPacketSize));
            t.tables = std::move(tables);
            t.streams = std::move(streams);
        } else if (streams != t.streams) {
            change = pat_before.value_or(at);
            return false;
        }
        return true;
    });
    return change;
}

int64_t to_timescale(int64_t t90k, uint32_t timescale) {
    return (t90k * int64_t(timescale) + (t90k >= 0 ? kClock / 2 : -kClock / 2)) / kClock;
}

// Demultiplexes the pending bytes and writes every group of pictures that
// is complete (all of them when `final`), with its audio; then drops the
// bytes no longer needed.
Result<Bytes> emit(TsTransmuxer& t, bool final) {
    Bytes out;
    if (t.pending.empty()) return out;
    Bytes input;
    input.reserve(t.tables.size() + t.pending.size());
    append(input, t.tables);
    append(input, t.pending);
    std::string report;
    auto c = plan_ts_to_mp4(input, report, TsRoadOptions{!t.started});
    if (!c) {
        // No programme with video yet: wait for its tables and pictures.
        if (c.error().message != msg::kNoVideo) return std::unexpected(c.error());
        if (final) t.pending_at += t.pending.size(), t.pending.clear();
        return out;
    }
    const Movie& m = c->movie;
    const Track& v = m.tracks[0];
    const size_t base = t.tables.size();
    // Stream position and place in its PES of a sample, when it lies in a PES.
    auto where = [&](const std::pair<size_t, uint32_t>& id) -> std::optional<std::pair<uint64_t, uint32_t>> {
        if (id.first == kNoPacket || id.first < base) return std::nullopt;
        return std::pair<uint64_t, uint32_t>{t.pending_at + (id.first - base), id.second};
    };

    // Pictures already written (the cut may lie before them, for the audio)
    // are passed over; the first one written is an IDR picture.
    size_t first = 0;
    int64_t skipped = 0;
    auto advance = [&] { skipped += v.samples[first++].duration; };
    if (t.last_video)
        while (first < v.samples.size()) {
            auto id = where(c->video_units[first]);
            if (id && *id > *t.last_video) break;
            advance();
        }
    while (first < v.samples.size() && !v.samples[first].sync) advance();
    size_t end = first;
    if (final) {
        end = v.samples.size();
    } else {
        // The next IDR picture ends a group once the picture after it has
        // begun too: then the IDR picture is whole, and its timestamps
        // (which may come in any of its PES) known.
        for (size_t i = first + 1; i + 1 < v.samples.size(); ++i)
            if (v.samples[i].sync) end = i;
    }
    if (end == first) {
        if (final) t.pending_at += t.pending.size(), t.pending.clear();
        return out;
    }
    // The tracks are known once a whole group of pictures, and the audio
    // that goes with it, has arrived.
    if (!t.init) {
        t.init = MORVEX_TRY(build_init_segment(m.tracks, m.timescale));
        t.has_audio = m.tracks.size() > 1;
    }
    const Track* a = t.has_audio && m.tracks.size() > 1 ? &m.tracks[1] : nullptr;

    // The span's programme time `x` is written at decode time x + shift.
    const int64_t v0 = *c->video_first_time + skipped;
    // The span's composition offsets count from its first picture's.
    const int64_t delta = t.started ? c->video_first_offset - t.first_offset : 0;
    int64_t shift = t.started ? t.video_next - v0 + delta : 0;
    if (!t.started) {
        int64_t origin = v0;
        if (a && c->audio_first_time) origin = std::min(origin, *c->audio_first_time);
        shift = -origin;
        t.first_offset = c->video_first_offset;
    }
    int64_t vt = std::max<int64_t>(0, v0 - delta + shift);  // the first picture's decode time

    // The audio frames not written yet, and the decode time of the first.
    size_t j = 0;
    int64_t at = 0;
    const uint32_t ts = a ? a->timescale : 1;
    if (a && c->audio_first_time) {
        int64_t skipped_audio = 0;
        while (j < a->samples.size()) {
            auto id = where(c->audio_frames[j]);
            const bool written = id ? t.last_audio && *id <= *t.last_audio : t.audio_started;
            if (!written) break;
            skipped_audio += a->samples[j++].duration;
        }
        at = to_timescale(*c->audio_first_time + shift, ts) + skipped_audio;
        // Within a frame of where the audio stopped, it goes on from there.
        if (t.audio_started && j < a->samples.size() &&
            at - t.audio_next < int64_t(std::max<uint32_t>(a->samples[j].duration, 1)))
            at = t.audio_next;
        at = std::max<int64_t>(at, 0);
    }

    // Where the audio that has arrived ends.
    int64_t audio_end = at;
    if (a)
        for (size_t k = j; k < a->samples.size(); ++k) audio_end += a->samples[k].duration;
    // The groups of pictures that are complete, each [start, end).
    std::vector<std::pair<size_t, size_t>> groups;
    for (size_t g = first; g < end;) {
        size_t e = g + 1;
        while (e < end && !v.samples[e].sync) ++e;
        groups.emplace_back(g, e);
        g = e;
    }
    size_t g = first;
    for (size_t n = 0; n < groups.size(); ++n) {
        const size_t e = groups[n].second;
        if (!final && a) {
            // A group waits for the audio of its span, which the stream may
            // carry after the pictures; not for longer than one more group,
            // so that a stream whose audio stops goes on.
            int64_t group_end = vt;
            for (size_t k = g; k < e; ++k) group_end += v.samples[k].duration;
            if ((__int128)audio_end * kClock < (__int128)group_end * ts && groups.size() - n < 2) break;
        }
        MovieFragment f;
        f.sequence = t.sequence;
        TrackRun vr;
        vr.track_id = v.track_id;
        vr.decode_time = uint64_t(vt);
        vr.default_flags = kNonSyncSampleFlags;
        for (size_t k = g; k < e; ++k) {
            vr.samples.push_back(FragmentSample{&v, v.samples[k]});
            int32_t& offset = vr.samples.back().sample.composition_offset;
            offset = int32_t(std::clamp<int64_t>(offset + delta, INT32_MIN, INT32_MAX));
            vt += v.samples[k].duration;
        }
        f.runs.push_back(std::move(vr));
        if (a) {
            TrackRun ar;
            ar.track_id = a->track_id;
            ar.decode_time = uint64_t(at);
            ar.default_flags = kSyncSampleFlags;
            const bool rest = final && e == end;
            // Frames that begin before the group ends, in seconds.
            while (j < a->samples.size() && (rest || (__int128)at * kClock < (__int128)vt * ts)) {
                ar.samples.push_back(FragmentSample{a, a->samples[j]});
                at += a->samples[j].duration;
                if (auto id = where(c->audio_frames[j])) t.last_audio = *id;
                t.audio_started = true;
                ++j;
            }
            f.runs.push_back(std::move(ar));
        }
        const size_t o = out.size();
        out.resize(o + size_t(fragment_size(f)));
        write_fragment(f, out.data() + o);
        ++t.sequence;
        if (auto id = where(c->video_units[e - 1])) t.last_video = *id;
        g = e;
    }
    end = g;
    if (end == first && !final) return out;
    t.started = true;
    t.video_next = vt;
    if (t.audio_started) t.audio_next = at;

    // The cut: the first packet still needed, of the next picture's PES or
    // of the next audio frame's.
    if (final) {
        t.pending_at += t.pending.size();
        t.pending.clear();
        return out;
    }
    std::optional<uint64_t> cut;
    if (auto id = where(c->video_units[end])) cut = id->first;
    if (cut && a && j < a->samples.size()) {
        if (auto id = where(c->audio_frames[j])) cut = std::min(*cut, id->first);
    }
    if (cut && *cut > t.pending_at) {
        const size_t n = size_t(std::min<uint64_t>(*cut - t.pending_at, t.pending.size()));
        t.pending.erase(t.pending.begin(), t.pending.begin() + ptrdiff_t(n));
        t.pending_at += n;
    }
    return out;
}

// Whether the bytes may hold the start of a video PES (00 00 01 E0..EF) or
// of a NAL unit that begins a group of pictures: an H.264 SPS or IDR slice
// (types 7 and 5), an HEVC VPS or SPS (32, 33) or IRAP slice (16..23). The
// scan ignores packet boundaries; a start code cut by a packet header is
// missed, and a false match only costs one more look at the pending bytes.
struct Starts {
    bool picture = false;
    bool key = false;
};

Starts starts_in(ByteSpan bytes) {
    Starts s;
    const uint8_t* p = bytes.data();
    const uint8_t* end = p + bytes.size();
    while (end - p >= 4) {
        const auto* z = static_cast<const uint8_t*>(std::memchr(p, 0, size_t(end - p) - 3));
        if (!z) break;
        if (z[1] == 0 && z[2] == 1) {
            const uint8_t b = z[3];
            if (b >= 0xE0 && b <= 0xEF) s.picture = true;
            const uint8_t avc = b & 0x1F, hevc = (b >> 1) & 0x3F;
            if (!(b & 0x80) && (avc == 5 || avc == 7 || (hevc >= 16 && hevc <= 23) || hevc == 32 || hevc == 33))
                s.key = true;
            if (s.picture && s.key) break;
        }
        p = z + 1;
    }
    return s;
}

// Whether to demultiplex the pending bytes after this push. Each look
// costs the pending span, so a stream pushed in small pieces is looked at
// only when a group of pictures may have ended (a key start arrived, and
// for a few picture starts after it) or when an eighth of the span is new:
// the work stays linear in the stream however it is cut.
bool worth_a_look(TsTransmuxer& t, ByteSpan segment) {
    t.since_look += segment.size();
    const Starts s = starts_in(segment);
    if (s.key) t.key_looks = 4;
    bool look = t.since_look * 8 >= t.pending.size();
    if (!look && t.key_looks > 0 && (s.key || s.picture)) {
        --t.key_looks;
        look = true;
    }
    if (look) t.since_look = 0;
    return look;
}

// The initialisation segment goes in front of the first output after it
// is known.
Bytes with_init(TsTransmuxer& t, Bytes fragments) {
    if (!t.init || t.init_given) return fragments;
    t.init_given = true;
    Bytes out = *t.init;
    append(out, fragments);
    return out;
}

}  // namespace

Result<Bytes> transmux_push(TsTransmuxer& t, ByteSpan segment) {
    Bytes out;
    bool restarted = false;  // the segment's start already began a programme
    while (auto change = scan_tables(t, segment)) {
        if (*change == 0 && restarted) break;
        restarted = *change == 0;
        // A new programme: what is pending of the old one is written, and
        // the new one is read with its own tables, on the same timeline.
        append(t.pending, segment.first(*change));
        append(out, MORVEX_TRY(emit(t, true)));
        t.tables.clear();
        t.streams.clear();
        t.last_video.reset();
        t.last_audio.reset();
        segment = segment.subspan(*change);
    }
    if (t.pending.empty() && segment.size() > 0 &&
        std::memchr(segment.data(), kTsSyncByte, segment.size()) == nullptr && t.tables.empty())
        return invalid(msg::kNoSync);
    append(t.pending, segment);
    if (worth_a_look(t, segment)) {
        Bytes fragments = MORVEX_TRY(emit(t, false));
        if (!fragments.empty()) t.key_looks = 0;
        append(out, fragments);
    }
    return with_init(t, std::move(out));
}

Result<Bytes> transmux_flush(TsTransmuxer& t) { return with_init(t, MORVEX_TRY(emit(t, true))); }

void transmux_reset(TsTransmuxer& t) { t = TsTransmuxer{}; }

}  // namespace morvex
