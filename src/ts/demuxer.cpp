#include "ts/demuxer.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "common/messages.h"
#include "ts/packets.h"
#include "ts/pes.h"
#include "ts/psi.h"

namespace morvex {
namespace {

// A PES start packet must leave room for the 9-byte fixed PES header.
constexpr size_t kMinPesStartOffset = 180;

constexpr uint8_t kH264 = 0x1B, kMpeg2Video = 0x02, kHevc = 0x24;


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

void append(Bytes& to, ByteSpan bytes) {
    const size_t at = to.size();
    to.resize(at + bytes.size());
    std::memcpy(to.data() + at, bytes.data(), bytes.size());
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

// The programme's tables: the first PAT's programme, and the first PMT of
// it that names a video stream.
struct Tables {
    std::vector<PmtEntry> streams;
    bool accepted = false;
    std::optional<uint8_t> uncarried_video;
};

Tables read_tables(ByteSpan data) {
    Tables t;
    std::optional<uint16_t> pmt_pid;
    for_each_packet(data, [&](const uint8_t* pkt) -> bool {
        const PacketHeader h = read_header(pkt);
        if (!h.unit_start || h.payload_at >= kTsPacketSize) return true;
        const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
        if (h.pid == 0 && h.payload_at <= 175) {
            if (auto pid = parse_pat(payload)) pmt_pid = *pid;
        } else if (pmt_pid && h.pid == *pmt_pid && h.payload_at <= 172) {
            std::vector<PmtEntry> streams = parse_pmt(payload);
            bool video = false;
            for (const auto& e : streams) {
                video |= is_carried_video(e.stream_type);
                if (!t.uncarried_video && uncarried_video_name(e.stream_type)) t.uncarried_video = e.stream_type;
            }
            // A programme needs a video stream the module carries.
            if (!video) return true;
            t.streams = std::move(streams);
            t.accepted = true;
            return false;
        }
        return true;
    });
    return t;
}

// PES payloads are gathered into the stream; a PES start records where its
// bytes begin and its timestamps.
void add_bytes(ElementaryStream& es, ByteSpan bytes) {
    if (es.in_place) es.pieces.add(bytes);
    else append(es.data, bytes);
}

void on_pes_packet(ElementaryStream& es, ByteSpan payload, bool unit_start, bool discontinuity, size_t f,
                   size_t packet = 0) {
    es.pending_discontinuity |= discontinuity;
    if (!unit_start) {
        add_bytes(es, payload);
        return;
    }
    if (f >= kMinPesStartOffset) return;
    es.pes.push_back(PesMark{size_t(es.size()), extract_pes_timestamps(payload), es.pending_discontinuity, packet});
    es.pending_discontinuity = false;
    if (auto body = pes_payload_after_header(payload)) add_bytes(es, *body);
}

// Whether an AC-3 / E-AC-3 stream's bytes hold syncframes: one whose frame
// is followed by another (or the end).
std::optional<AudioCodec> dolby_codec_of(ByteSpan d) {
    const size_t limit = std::min<size_t>(d.size(), 64 * 1024);
    for (size_t e = 0; e + 6 <= limit; ++e) {
        if (d[e] != 0x0B) continue;
        auto h = ac3::parse_frame_header(d.subspan(e));
        if (!h || h->frame_size > d.size() - e) continue;
        const size_t next = e + h->frame_size;
        if (next == d.size() || ac3::parse_frame_header(d.subspan(next)))
            return h->enhanced ? AudioCodec::Eac3 : AudioCodec::Ac3;
    }
    return std::nullopt;
}

// Whether an audio stream's bytes hold ADTS or MPEG audio frames: a frame
// header whose frame is followed by another header (or the end).
std::optional<AudioCodec> audio_codec_of(ByteSpan d) {
    const size_t limit = std::min<size_t>(d.size(), 64 * 1024);
    for (size_t e = 0; e + 7 <= limit; ++e) {
        if (d[e] != 0xFF) continue;
        if (auto h = aac::parse_adts_header(d.subspan(e)); h && h->frame_length <= d.size() - e) {
            const size_t next = e + h->frame_length;
            if (next == d.size() || (d.size() - next >= 7 && aac::parse_adts_header(d.subspan(next))))
                return AudioCodec::Aac;
        }
        if (auto h = mpeg_audio::parse_frame_header(d.subspan(e)); h && h->frame_length <= d.size() - e) {
            const size_t next = e + h->frame_length;
            if (next == d.size() || (d.size() - next >= 4 && mpeg_audio::parse_frame_header(d.subspan(next))))
                return AudioCodec::MpegAudio;
        }
    }
    return std::nullopt;
}

void append_line(std::string& report, const char* format, auto... args) {
    char line[160];
    std::snprintf(line, sizeof line, format, args...);
    report += line;
}

void write_report(TsProgram& program, const Tables& tables) {
    std::string& r = program.report;
    if (program.video_pid) {
        if (program.audio_pid)
            append_line(r, "Found PIDs - Video: %u, Audio: %u\n", unsigned(*program.video_pid),
                        unsigned(*program.audio_pid));
        else
            append_line(r, "Found PIDs - Video: %u, Audio: none\n", unsigned(*program.video_pid));
    }
    append_line(r, "Total audio frames collected: %zu\n", program.audio_frames.size());
    append_line(r, "Total video frames collected: %zu\n", program.video.pes.size());
    const auto& frames = program.audio_frames;
    if (!frames.empty() && frames.front().pes != kNoPes && frames.back().pes != kNoPes) {
        const auto& first = program.audio.pes[frames.front().pes].timestamps.pts;
        const auto& last = program.audio.pes[frames.back().pes].timestamps.pts;
        if (first && last)
            append_line(r, "Audio PTS range: %llu - %llu (%.2f - %.2f sec)\n", (unsigned long long)*first,
                        (unsigned long long)*last, double(*first) / 90000.0, double(*last) / 90000.0);
    }
    const auto& vt = program.video.pes;
    if (!vt.empty() && vt.front().timestamps.pts && vt.back().timestamps.pts)
        append_line(r, "Video PTS range: %llu - %llu (%.2f - %.2f sec)\n",
                    (unsigned long long)*vt.front().timestamps.pts, (unsigned long long)*vt.back().timestamps.pts,
                    double(*vt.front().timestamps.pts) / 90000.0, double(*vt.back().timestamps.pts) / 90000.0);
    // Streams of a kind the module does not carry are left out, and said so.
    for (const auto& e : tables.streams) {
        if (is_carried_video(e.stream_type) || e.stream_type == 0x0F || e.stream_type == 0x03 ||
            e.stream_type == 0x04)
            continue;
        if (program.audio_pid && e.pid == *program.audio_pid) continue;
        append_line(r, "Skipped PID %u: stream type 0x%02X\n", unsigned(e.pid), unsigned(e.stream_type));
    }
}

}  // namespace

std::string unsupported_video_message(uint8_t stream_type) {
    const char* name = uncarried_video_name(stream_type);
    char text[96];
    std::snprintf(text, sizeof text, "Unsupported video stream type 0x%02X (%s)", unsigned(stream_type),
                  name ? name : "unknown");
    return text;
}

void cut_adts_frames(TsProgram& program) {
    const ByteSpan d(program.audio.data);
    const auto& pes = program.audio.pes;
    const size_t n = d.size();
    const AudioCodec codec = program.audio_codec;
    const bool dolby = codec == AudioCodec::Ac3 || codec == AudioCodec::Eac3;
    const size_t min_header = codec == AudioCodec::MpegAudio ? 4 : dolby ? 6 : 7;
    size_t e = 0;
    size_t mark = kNoPes;  // the PES in which position e lies
    uint32_t index = 0;
    while (n - e >= min_header) {
        size_t length = 0, header = 0;
        bool continues_frame = false;  // an E-AC-3 substream of the frame before
        if (codec == AudioCodec::MpegAudio) {
            auto h = mpeg_audio::parse_frame_header(d.subspan(e));
            if (h && h->frame_length <= n - e) {
                length = h->frame_length;
                if (!program.mpeg_config) program.mpeg_config = *h;
            }
        } else if (dolby) {
            auto h = ac3::parse_frame_header(d.subspan(e));
            if (h && h->frame_size <= n - e && h->enhanced == (codec == AudioCodec::Eac3)) {
                length = h->frame_size;
                // Dependent substreams and further independent ones belong
                // to the audio frame of independent substream 0 in front of
                // them (ETSI TS 102 366 E.1.3.1.1), one MP4 sample; without
                // that frame right before, they are dropped.
                continues_frame = h->enhanced && !(h->strmtyp != ac3::kDependent && h->substreamid == 0);
                if (continues_frame && (program.audio_frames.empty() ||
                                        program.audio_frames.back().offset + program.audio_frames.back().size != e)) {
                    e += length;
                    continue;
                }
                if (!program.ac3_config && !continues_frame) {
                    program.ac3_config = *h;
                    if (h->enhanced) program.eac3_config = ac3::eac3_config(d.subspan(e));
                }
            }
        } else {
            auto h = aac::parse_adts_header(d.subspan(e));
            if (h && h->frame_length <= n - e) {
                length = h->frame_length;
                header = h->header_size;
                if (!program.audio_config) program.audio_config = *h;
            }
        }
        if (length == 0) {
            ++e;  // a false sync, or a frame cut off at the end
            continue;
        }
        if (continues_frame) {
            program.audio_frames.back().size += uint32_t(length);
            e += length;
            continue;
        }
        size_t m = mark;
        while ((m == kNoPes ? 0 : m + 1) < pes.size() && pes[m == kNoPes ? 0 : m + 1].offset <= e)
            m = m == kNoPes ? 0 : m + 1;
        if (m != mark) index = 0;
        mark = m;
        if (length > header)
            program.audio_frames.push_back(AudioFrame{e + header, uint32_t(length - header), uint32_t(mark), index++});
        e += length;
    }
}

Result<TsProgram> demux_ts(ByteSpan data) {
    if (data.empty() || std::memchr(data.data(), kTsSyncByte, data.size()) == nullptr) return invalid(msg::kNoSync);

    // The tables first, then every packet from the start: PES that come
    // before the PMT belong to the programme all the same.
    const Tables tables = read_tables(data);
    TsProgram program;
    if (!tables.accepted) program.unsupported_video = tables.uncarried_video;
    std::vector<uint16_t> audio_pids;
    std::unordered_map<uint16_t, ElementaryStream> audio_streams;
    for (const auto& e : tables.streams) {
        if (is_carried_video(e.stream_type) && !program.video_pid) {
            program.video_pid = e.pid;
            program.video_codec = e.stream_type == kHevc ? VideoCodec::Hevc : VideoCodec::H264;
        }
        if ((may_carry_audio(e) || may_carry_dolby(e)) && !audio_streams.count(e.pid)) {
            audio_pids.push_back(e.pid);
            audio_streams[e.pid];
        }
    }
    program.video.in_place = true;
    for_each_packet(data, [&](const uint8_t* pkt) {
        const PacketHeader h = read_header(pkt);
        if (h.payload_at >= kTsPacketSize) {
            // An adaptation field alone may still announce a discontinuity.
            if (h.discontinuity && program.video_pid && h.pid == *program.video_pid)
                program.video.pending_discontinuity = true;
            else if (auto it = audio_streams.find(h.pid); h.discontinuity && it != audio_streams.end())
                it->second.pending_discontinuity = true;
            return;
        }
        const ByteSpan payload(pkt + h.payload_at, kTsPacketSize - h.payload_at);
        if (program.video_pid && h.pid == *program.video_pid) {
            on_pes_packet(program.video, payload, h.unit_start, h.discontinuity, h.payload_at,
                          size_t(pkt - data.data()));
        } else if (auto it = audio_streams.find(h.pid); it != audio_streams.end()) {
            on_pes_packet(it->second, payload, h.unit_start, h.discontinuity, h.payload_at,
                          size_t(pkt - data.data()));
        }
    });
    // The audio: the first stream, in the PMT's order, whose bytes are ADTS,
    // MPEG audio, or AC-3 / E-AC-3 where the PMT says so.
    std::unordered_map<uint16_t, bool> dolby;
    for (const auto& e : tables.streams) dolby.emplace(e.pid, may_carry_dolby(e));
    for (uint16_t pid : audio_pids) {
        ElementaryStream& es = audio_streams[pid];
        auto codec = dolby[pid] ? dolby_codec_of(es.data) : audio_codec_of(es.data);
        if (!codec) continue;
        program.audio_pid = pid;
        program.audio_codec = *codec;
        program.audio = std::move(es);
        break;
    }
    // None recognised: the first audio entry by its type, as the PMT says.
    if (!program.audio_pid)
        for (const auto& e : tables.streams)
            if (auto codec = audio_codec_by_type(e.stream_type)) {
                program.audio_pid = e.pid;
                program.audio_codec = *codec;
                program.audio = std::move(audio_streams[e.pid]);
                break;
            }
    cut_adts_frames(program);
    write_report(program, tables);
    return program;
}

bool is_carried_video(uint8_t stream_type) {
    return stream_type == kH264 || stream_type == kMpeg2Video || stream_type == kHevc;
}

}  // namespace morvex
