// The parts of the transport stream reader (ts/reader.h) and what they
// share: the packet header, the video pipeline (reader_video.cpp), the
// audio pipeline (reader_audio.cpp) and the programme's tables
// (reader.cpp).
#pragma once

#include <cstdint>
#include <optional>

#include "ts/reader.h"

namespace morvex::ts_reader {

// A PES start packet must leave room for the 9-byte fixed PES header.
inline constexpr size_t kMinPesStartOffset = 180;
// An audio stream not recognised once the video (or the first audio track)
// has run this long, or this much input has come after its PMT, is decided
// with what is known.
inline constexpr int64_t kAudioDecision = 2 * int64_t(kTsClock);
inline constexpr uint64_t kAudioDecisionBytes = uint64_t(8) << 20;

struct PacketHeader {
    bool error;  // transport_error_indicator
    bool unit_start;
    uint16_t pid;
    bool discontinuity;
    size_t payload_at;  // 188 when the packet has no payload
};

PacketHeader read_header(const uint8_t* pkt);

void append(Bytes& to, ByteSpan bytes);
void note_reference(TsReader& r, const PesTimestamps& ts);
int64_t to_timescale(int64_t t90k, uint32_t timescale);

// Where the PES that begins in `payload` ends, counted from its first byte
// after the header, when PES_packet_length gives it.
std::optional<uint64_t> pes_body_length(ByteSpan payload);

// How far the programme's lead has run (90 kHz): the video's last placed
// DTS, or without video the first audio track's last placed frame.
std::optional<int64_t> lead_time(const TsReader& r);

// --- video (reader_video.cpp)

void set_video_stream(TsReader& r, const PmtEntry& e);
void on_video_packet(TsReader& r, const PacketHeader& h, const uint8_t* pkt, uint64_t pos);
// The stream read so far ends: the last unit is cut and a first field
// waiting for its second goes on alone; with `release`, pictures waiting
// for a random access point are kept.
void close_video(TsReader& r, bool release);
// Places the pictures the clock can; true when any was.
bool place_video(TsReader& r, bool final);
// The input ended: the last picture comes out.
void finish_video(TsReader& r);

// --- audio (reader_audio.cpp)

// The audio streams of `streams` not read yet become candidates; those of
// a new programme go on on the tracks `vacated` (whose streams it removed),
// in order, when they are of the same kind.
void add_candidates(TsReader& r, const std::vector<PmtEntry>& streams, const std::vector<size_t>& vacated, uint64_t pos);
bool is_audio_entry(const PmtEntry& e);
void on_candidate_packet(TsReader& r, TsAudioCandidate& c, const PacketHeader& h, const uint8_t* pkt, uint64_t pos);
void on_audio_packet(TsReader& r, TsAudio& a, const PacketHeader& h, const uint8_t* pkt, uint64_t pos);
// Candidates decided (in the PMT's order) become tracks; true when any was.
bool decide_audio(TsReader& r, bool force);
// Whether the candidates have waited long enough to be decided.
bool audio_decision_due(const TsReader& r);
void cut_audio(TsReader& r, TsAudio& a, bool final);
// The track's stream left the PMT.
void end_audio_track(TsReader& r, TsAudio& a);
bool place_audio(TsReader& r, TsAudio& a, bool final);
void finish_audio(TsReader& r, TsAudio& a);

}  // namespace morvex::ts_reader
