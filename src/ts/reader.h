// The transport stream reader: one programme of an MPEG-2 transport stream
// (ITU-T H.222.0), read as it arrives, into tracks of timed samples whose
// bytes stay in the input (video) or in a small buffer of the audio.
//
// The reader follows the first programme of the PAT whose PMT names a video
// stream it carries: its first H.264 or HEVC stream and its first audio
// stream whose bytes are AAC in ADTS, MPEG audio, or AC-3 / E-AC-3. PES that
// come before that PMT are read too (the last few MB of them). A later PMT
// that names other streams starts a new programme on the same timeline.
//
// A sample comes out once its duration is known. The video starts at the
// first random access point (an IDR picture, an H.264 recovery point, an
// HEVC IRAP picture); one that has none within a few hundred pictures
// starts at its first picture. Audio presented before the first picture is
// left out when pictures before it were dropped.
//
// Everything is decided from the bytes that have arrived, in stream order:
// a stream fed in any pieces gives the same samples, in the same order, at
// the same points of the stream.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "media/source_pieces.h"
#include "media/track.h"
#include "ts/access_units.h"
#include "ts/audio_frames.h"
#include "ts/packets.h"
#include "ts/psi.h"
#include "ts/sample_timing.h"

namespace morvex {

// A track's samples as they come out, and what it knows of its start.
struct TsTrackOutput {
    std::vector<Sample> samples;         // final samples not taken yet
    std::optional<int64_t> first_time;   // presentation time of its first sample (90 kHz)
    int64_t first_ticks = 0;             // the same in the track's timescale
    uint64_t count = 0;                  // samples given out in all
};

struct TsVideo {
    std::optional<uint16_t> pid;
    VideoCodec codec = VideoCodec::H264;
    SourcePieces es;  // the PES payloads, in place in the input
    std::deque<PesMark> marks;
    uint64_t marks_base = 0;  // the number of marks.front()
    std::optional<uint64_t> last_used;  // the mark whose timestamps a unit took last
    bool pending_discontinuity = false;
    AccessUnitCutter cutter;
    Unwrapper unwrap;
    // The start: pictures wait for a random access point.
    bool started = false;
    bool restart = false;  // a new programme: wait for its first random access point
    bool dropped = false;  // pictures before the first one written were left out
    std::deque<RawPicture> held;
    VideoClock clock;
    std::optional<PlacedPicture> last;  // placed, waiting for the next one's DTS
    std::optional<int64_t> dts_before_last;
    std::optional<int64_t> first_offset;  // PTS minus DTS of the first sample
    TsTrackOutput out;
    uint64_t pes_count = 0;
    std::optional<uint64_t> first_pts, last_pts;
};

struct TsAudioCandidate {
    uint16_t pid = 0;
    AudioStream stream;
    AudioRecogniser recogniser;
    Recognised state = Recognised::NotYet;
    AudioCodec codec = AudioCodec::Aac;
    std::optional<AudioCodec> named;  // the codec its stream type names, if it names one
    bool pending_discontinuity = false;
    Unwrapper unwrap;
};

struct TsAudio {
    std::optional<uint16_t> pid;  // of the candidate taken
    AudioCodec codec = AudioCodec::Aac;
    AudioStream stream;
    Unwrapper unwrap;
    bool pending_discontinuity = false;
    AudioCutter cutter;
    bool described = false;  // the stream said what its sample entry needs
    bool format_known = false;
    AudioClock clock;
    // The start: frames wait until the video's first picture is known.
    bool gate_open = false;
    std::optional<int64_t> cut_before;  // 90 kHz
    std::deque<PlacedFrame> held;
    std::optional<PlacedFrame> last;
    TsTrackOutput out;
    uint64_t frames = 0;
    std::optional<uint64_t> first_pts, last_pts;  // of the PES of the first and last frame
};

struct TsReader {
    PacketFramer framer;
    uint64_t seen = 0;  // input bytes seen

    // Tables.
    std::optional<uint16_t> pmt_pid;
    std::vector<PmtEntry> streams;  // of the programme followed
    bool accepted = false;
    uint64_t accepted_at = 0;  // input position of the PMT taken
    std::optional<uint8_t> uncarried_video;
    std::deque<uint64_t> early;  // packets before the PMT: input positions
    bool new_programme = false;  // a programme change was seen
    std::optional<std::vector<PmtEntry>> first_streams;

    std::optional<int64_t> reference;  // the first PTS: timestamps are unwrapped near it
    Timeline timeline;
    TsVideo video;
    std::vector<TsAudioCandidate> candidates;
    bool audio_decided = false;
    TsAudio audio;
    bool ended = false;  // the input ended, and nothing came after
    bool dirty = false;  // a unit, frame or decision since the timing last ran
};

// Reads the packets of `s` (the input from the reader's framer position on,
// at least). `final`: the input ends with these bytes; every sample waiting
// then comes out.
Result<void> read_ts(TsReader& r, const StreamBytes& s);

// The same a packet at a time: false when `s` holds no further packet (or
// not yet); then end_ts ends the input that has come (`s` holds its end).
// Bytes that come after that go on on the same tracks and timeline.
bool read_ts_packet(TsReader& r, const StreamBytes& s);
void end_ts(TsReader& r, const StreamBytes& s);

// Whether a PMT stream type is video the module carries: H.264 (0x1B),
// HEVC (0x24), and MPEG-2 video (0x02), whose stream is read as H.264.
bool is_carried_video(uint8_t stream_type);

// "Unsupported video stream type 0x33 (VVC)" and the like.
std::string unsupported_video_message(uint8_t stream_type);

// Where the input is still needed: no byte before this position is read
// again (for the video samples not taken yet, and packets waiting for their
// programme's tables).
uint64_t ts_input_needed_from(const TsReader& r);

// Drops what the samples taken so far needed: the NAL units, pieces and
// audio bytes before those of the samples not taken yet, and before what the
// caller still holds (the number of the first NAL unit, the audio stream
// position of the first frame), when it holds any.
void drop_taken(TsReader& r, std::optional<uint64_t> video_nal, std::optional<uint64_t> audio_offset);

// The number of the NAL unit a taken video sample begins with.
uint64_t nal_number(const TsReader& r, const Sample& s);

// Whether the tracks are known: the video's first picture is placed, and
// the audio is either taken and started, or known to be absent.
bool ts_tracks_known(const TsReader& r);

// The programme's report, a line each (after the input is finished).
std::string ts_report(const TsReader& r);

}  // namespace morvex
