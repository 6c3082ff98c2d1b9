#include "ts_parser/ts_parser.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ts_parser/adts.h"
#include "ts_parser/h264_sps.h"
#include "ts_parser/pes.h"
#include "ts_parser/psi.h"

namespace morvex {
namespace {

constexpr size_t kPacketSize = 188;
constexpr uint8_t kSyncByte = 0x47;
// A PES start packet must leave room for the 9-byte fixed PES header.
constexpr size_t kMinPesStartOffset = 180;

struct Demuxer {
    MediaData media;
    std::string& report;
    bool pat_seen = false;
    uint16_t pmt_pid = 0;
    bool pmt_accepted = false;
    // Start in video_data of the PES being collected, while its parameter
    // sets may still be needed; the scan runs once the PES is complete so
    // that a parameter set crossing a packet boundary is seen whole.
    std::optional<size_t> open_video_pes;

    void close_video_pes() {
        if (!open_video_pes) return;
        const size_t start = *open_video_pes;
        open_video_pes.reset();
        if (media.sps && media.pps) return;
        ByteSpan pes = ByteSpan(media.video_data).subspan(start);
        if (pes.size() >= 4) scan_parameter_sets(pes, media);
    }

    void cut_audio_frames() {
        AacCut cut = extract_aac_frames(media.audio_buffer);
        if (!media.audio_config && cut.first) media.audio_config = cut.first;
        for (auto& frame : cut.frames) {
            media.audio_frames.push_back(std::move(frame));
            media.audio_timestamps.push_back(media.current_audio_pts);
        }
        if (cut.consumed > 0) media.audio_buffer.erase(media.audio_buffer.begin(), media.audio_buffer.begin() + cut.consumed);
    }

    void on_pmt(ByteSpan payload) {
        PmtStreams streams = parse_pmt(payload);
        // A programme needs a video stream; audio is optional.
        if (!streams.video_pid) return;
        media.video_pid = streams.video_pid;
        media.audio_pid = streams.audio_pid;
        pmt_accepted = true;
        char line[96];
        if (streams.audio_pid)
            std::snprintf(line, sizeof line, "Found PIDs - Video: %u, Audio: %u\n", unsigned(*streams.video_pid),
                          unsigned(*streams.audio_pid));
        else
            std::snprintf(line, sizeof line, "Found PIDs - Video: %u, Audio: none\n", unsigned(*streams.video_pid));
        report += line;
    }

    void on_video(ByteSpan payload, bool unit_start, size_t f) {
        if (!unit_start) {
            media.video_data.insert(media.video_data.end(), payload.begin(), payload.end());
            return;
        }
        if (f >= kMinPesStartOffset) return;
        close_video_pes();
        media.video_timestamps.push_back(extract_pes_timestamps(payload));
        media.video_pes_offsets.push_back(media.video_data.size());
        if (auto body = pes_payload_after_header(payload)) {
            open_video_pes = media.video_data.size();
            media.video_data.insert(media.video_data.end(), body->begin(), body->end());
        }
    }

    void on_audio(ByteSpan payload, bool unit_start, size_t f) {
        if (!unit_start) {
            media.audio_buffer.insert(media.audio_buffer.end(), payload.begin(), payload.end());
            cut_audio_frames();
            return;
        }
        if (f >= kMinPesStartOffset) return;
        if (!media.audio_buffer.empty()) cut_audio_frames();
        media.current_audio_pts = extract_pes_timestamps(payload).pts;
        if (auto body = pes_payload_after_header(payload))
            media.audio_buffer.insert(media.audio_buffer.end(), body->begin(), body->end());
        cut_audio_frames();
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
        } else if (media.video_pid && pid == *media.video_pid) {
            on_video(payload, unit_start, f);
        } else if (media.audio_pid && pid == *media.audio_pid) {
            on_audio(payload, unit_start, f);
        }
    }

    void finish() {
        close_video_pes();
        if (!media.audio_buffer.empty()) cut_audio_frames();
        char line[160];
        std::snprintf(line, sizeof line, "Total audio frames collected: %zu\n", media.audio_frames.size());
        report += line;
        std::snprintf(line, sizeof line, "Total video frames collected: %zu\n", media.video_timestamps.size());
        report += line;
        const auto& at = media.audio_timestamps;
        if (!at.empty() && at.front() && at.back()) {
            std::snprintf(line, sizeof line, "Audio PTS range: %llu - %llu (%.2f - %.2f sec)\n",
                          (unsigned long long)*at.front(), (unsigned long long)*at.back(), double(*at.front()) / 90000.0,
                          double(*at.back()) / 90000.0);
            report += line;
        }
        const auto& vt = media.video_timestamps;
        if (!vt.empty() && vt.front().pts && vt.back().pts) {
            std::snprintf(line, sizeof line, "Video PTS range: %llu - %llu (%.2f - %.2f sec)\n",
                          (unsigned long long)*vt.front().pts, (unsigned long long)*vt.back().pts,
                          double(*vt.front().pts) / 90000.0, double(*vt.back().pts) / 90000.0);
            report += line;
        }
    }
};

void write_to_stdout(const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t w = ::write(1, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;  // nowhere to report to; the conversion goes on
        p += w;
        left -= size_t(w);
    }
}

}  // namespace

Result<MediaData> parse_ts_packets(ByteSpan data, std::string& report) {
    const uint8_t* begin = data.data();
    const uint8_t* end = begin + data.size();
    const uint8_t* first = data.empty() ? nullptr : static_cast<const uint8_t*>(std::memchr(begin, kSyncByte, data.size()));
    if (first == nullptr) return fail(ErrorKind::InvalidData, "No valid TS sync byte found");

    Demuxer demux{.media = {}, .report = report, .pat_seen = false, .pmt_pid = 0, .pmt_accepted = false, .open_video_pes = std::nullopt};
    demux.media.video_data.reserve(data.size());
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
    return std::move(demux.media);
}

Result<MediaData> parse_ts_packets(ByteSpan data) {
    std::string report;
    auto result = parse_ts_packets(data, report);
    write_to_stdout(report);
    return result;
}

}  // namespace morvex
