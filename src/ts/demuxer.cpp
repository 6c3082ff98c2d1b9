#include "ts/demuxer.h"

#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "ts/pes.h"
#include "ts/psi.h"

namespace morvex {
namespace {

constexpr size_t kPacketSize = 188;
constexpr uint8_t kSyncByte = 0x47;
// A PES start packet must leave room for the 9-byte fixed PES header.
constexpr size_t kMinPesStartOffset = 180;

void append(Bytes& to, ByteSpan bytes) {
    const size_t at = to.size();
    to.resize(at + bytes.size());
    std::memcpy(to.data() + at, bytes.data(), bytes.size());
}

struct Demuxer {
    TsProgram program;
    bool pat_seen = false;
    uint16_t pmt_pid = 0;
    bool pmt_accepted = false;

    void on_pmt(ByteSpan payload) {
        PmtStreams streams = parse_pmt(payload);
        // A programme needs a video stream; audio is optional.
        if (!streams.video_pid) return;
        program.video_pid = streams.video_pid;
        program.audio_pid = streams.audio_pid;
        pmt_accepted = true;
        char line[96];
        if (streams.audio_pid)
            std::snprintf(line, sizeof line, "Found PIDs - Video: %u, Audio: %u\n", unsigned(*streams.video_pid),
                          unsigned(*streams.audio_pid));
        else
            std::snprintf(line, sizeof line, "Found PIDs - Video: %u, Audio: none\n", unsigned(*streams.video_pid));
        program.report += line;
    }

    // PES payloads are gathered into the stream; a PES start records where
    // its bytes begin and its timestamps.
    static void on_pes_packet(ElementaryStream& es, ByteSpan payload, bool unit_start, size_t f) {
        if (!unit_start) {
            append(es.data, payload);
            return;
        }
        if (f >= kMinPesStartOffset) return;
        es.pes.push_back(PesMark{es.data.size(), extract_pes_timestamps(payload)});
        if (auto body = pes_payload_after_header(payload)) append(es.data, *body);
    }

    // One 188-byte packet (H.222.0 2.4.3.2).
    void on_packet(const uint8_t* pkt) {
        const bool unit_start = pkt[1] & 0x40;
        const uint16_t pid = uint16_t(((pkt[1] & 0x1F) << 8) | pkt[2]);
        const uint8_t flags = pkt[3];
        const bool has_adaptation = flags & 0x20;
        const bool has_payload = flags & 0x10;
        const size_t f = has_adaptation ? 5 + size_t(pkt[4]) : 4;
        if (!has_payload || f > kPacketSize - 1) return;
        ByteSpan payload(pkt + f, kPacketSize - f);

        if (pid == 0 && !pmt_accepted) {
            if (!unit_start || f > 175) return;
            if (auto pmt = parse_pat(payload)) {
                pmt_pid = *pmt;
                pat_seen = true;
            }
        } else if (pat_seen && !pmt_accepted && pid == pmt_pid) {
            if (!unit_start || f > 172) return;
            on_pmt(payload);
        } else if (program.video_pid && pid == *program.video_pid) {
            on_pes_packet(program.video, payload, unit_start, f);
        } else if (program.audio_pid && pid == *program.audio_pid) {
            on_pes_packet(program.audio, payload, unit_start, f);
        }
    }

    void finish() {
        cut_adts_frames(program);
        char line[160];
        std::snprintf(line, sizeof line, "Total audio frames collected: %zu\n", program.audio_frames.size());
        program.report += line;
        std::snprintf(line, sizeof line, "Total video frames collected: %zu\n", program.video.pes.size());
        program.report += line;
        const auto& frames = program.audio_frames;
        if (!frames.empty() && frames.front().pes != kNoPes && frames.back().pes != kNoPes) {
            const auto& first = program.audio.pes[frames.front().pes].timestamps.pts;
            const auto& last = program.audio.pes[frames.back().pes].timestamps.pts;
            if (first && last) {
                std::snprintf(line, sizeof line, "Audio PTS range: %llu - %llu (%.2f - %.2f sec)\n",
                              (unsigned long long)*first, (unsigned long long)*last, double(*first) / 90000.0,
                              double(*last) / 90000.0);
                program.report += line;
            }
        }
        const auto& vt = program.video.pes;
        if (!vt.empty() && vt.front().timestamps.pts && vt.back().timestamps.pts) {
            std::snprintf(line, sizeof line, "Video PTS range: %llu - %llu (%.2f - %.2f sec)\n",
                          (unsigned long long)*vt.front().timestamps.pts, (unsigned long long)*vt.back().timestamps.pts,
                          double(*vt.front().timestamps.pts) / 90000.0, double(*vt.back().timestamps.pts) / 90000.0);
            program.report += line;
        }
    }
};

}  // namespace

void cut_adts_frames(TsProgram& program) {
    const ByteSpan d(program.audio.data);
    const auto& pes = program.audio.pes;
    const size_t n = d.size();
    size_t e = 0;
    size_t mark = kNoPes;  // the PES in which position e lies
    uint32_t index = 0;
    while (n - e >= 7) {
        auto h = aac::parse_adts_header(d.subspan(e));
        if (!h || h->frame_length > n - e) {
            ++e;  // a false sync, or a frame cut off at the end
            continue;
        }
        size_t m = mark;
        while ((m == kNoPes ? 0 : m + 1) < pes.size() && pes[m == kNoPes ? 0 : m + 1].offset <= e)
            m = m == kNoPes ? 0 : m + 1;
        if (m != mark) index = 0;
        mark = m;
        if (!program.audio_config) program.audio_config = *h;
        if (h->frame_length > h->header_size)
            program.audio_frames.push_back(
                AudioFrame{e + h->header_size, uint32_t(h->frame_length - h->header_size), uint32_t(mark), index++});
        e += h->frame_length;
    }
}

Result<TsProgram> demux_ts(ByteSpan data) {
    const uint8_t* begin = data.data();
    const uint8_t* end = begin + data.size();
    const uint8_t* first =
        data.empty() ? nullptr : static_cast<const uint8_t*>(std::memchr(begin, kSyncByte, data.size()));
    if (first == nullptr) return invalid(msg::kNoSync);

    Demuxer demux;
    demux.program.video.data.reserve(data.size());
    size_t i = size_t(first - begin);
    const size_t n = data.size();
    while (kPacketSize <= n - i) {
        if (begin[i] != kSyncByte) {
            // Lost sync: take the next 0x47 byte as the packet start.
            const void* next = std::memchr(begin + i + 1, kSyncByte, size_t(end - (begin + i + 1)));
            if (next == nullptr) break;
            i = size_t(static_cast<const uint8_t*>(next) - begin);
            continue;
        }
        demux.on_packet(begin + i);
        i += kPacketSize;
    }
    demux.finish();
    return std::move(demux.program);
}

}  // namespace morvex
