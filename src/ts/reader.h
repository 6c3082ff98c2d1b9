// The transport stream reader: one programme of an MPEG-2 transport stream
// (ITU-T H.222.0), read as it arrives, into tracks of timed samples whose
// bytes stay in the input (video) or in a small buffer of each audio
// stream.
//
// The programme followed is the first of the PAT whose PMT names a video
// stream (H.264, HEVC, MPEG-2 video); when none does, the first that names
// audio. Its first video stream of those kinds is the video track, and every
// audio stream whose bytes are AAC (ADTS or LATM), MPEG audio, or AC-3 /
// E-AC-3 an audio track, in the PMT's order. PES that come before that PMT
// are read too (the last few MB of them). A new version of the PMT may add,
// remove or change streams: a stream that appears later becomes a track
// from where it appears; a new video stream goes on on the video track,
// from its first random access point; an audio stream that takes the place
// of one removed at the same time goes on on its track.
//
// A sample comes out once its duration is known. The video starts at the
// first random access point (an IDR picture, an H.264 recovery point, an
// HEVC IRAP picture, an MPEG-2 I picture); one that has none within a few
// hundred pictures starts at its first picture. Pictures that a start in
// the middle of an open group of pictures cannot decode (those presented
// before the first, HEVC RASL pictures) are left out. Audio presented
// before the first picture is left out when pictures before it were.
//
// Damage: a packet with transport_error_indicator set is dropped; a
// continuity gap ends the PES being read, and the access unit or audio
// frame that lost bytes is dropped.
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
#include "ts/continuity.h"
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
    uint8_t stream_type = 0;
    VideoCodec codec = VideoCodec::H264;
    SourcePieces es;  // the PES payloads, in place in the input
    std::deque<PesMark> marks;
    uint64_t marks_base = 0;  // the number of marks.front()
    std::optional<uint64_t> last_used;  // the mark whose timestamps a unit took last
    bool pending_discontinuity = false;
    ContinuityCounter cc;
    bool skip_to_start = false;       // a continuity gap: the rest of the PES is dropped
    std::optional<uint64_t> pes_end;  // where the PES being read ends, when its length is given
    AccessUnitCutter cutter;
    Unwrapper unwrap;
    std::optional<RawPicture> first_field;  // waits for the field that completes its frame
    // The start: pictures wait for a random access point.
    bool started = false;
    bool restart = false;  // a new programme: wait for its first random access point
    bool dropped = false;  // pictures before the first one written were left out
    std::deque<RawPicture> held;
    // Leading pictures of the picture started at, which are left out: those
    // of its period presented before it, or (HEVC) the RASL pictures.
    std::optional<std::pair<uint32_t, int64_t>> leading_before;  // period, order
    bool skip_rasl = false;
    VideoClock clock;
    std::optional<PlacedPicture> last;  // placed, waiting for the next one's DTS
    std::optional<int64_t> dts_before_last;
    std::optional<int64_t> first_offset;  // PTS minus DTS of the first sample
    TsTrackOutput out;
    uint64_t pes_count = 0;
    std::optional<uint64_t> first_pts, last_pts;
};

// An audio stream of the PMT whose kind its bytes are to tell.
struct TsAudioCandidate {
    uint16_t pid = 0;
    uint8_t stream_type = 0;
    char language[3] = {0, 0, 0};
    AudioStream stream;
    AudioRecogniser recogniser;
    Recognised state = Recognised::NotYet;
    AudioCodec codec = AudioCodec::Aac;
    std::optional<AudioCodec> named;  // the codec its stream type names, if it names one
    bool pending_discontinuity = false;
    ContinuityCounter cc;
    bool skip_to_start = false;
    Unwrapper unwrap;
    std::optional<size_t> replaces;  // the audio track it goes on on (a new programme)
};

// An audio track.
struct TsAudio {
    uint16_t pid = 0;  // of the stream it reads now
    uint8_t stream_type = 0;
    char language[3] = {0, 0, 0};
    bool reading = true;  // its stream is in the PMT
    AudioCodec codec = AudioCodec::Aac;
    AudioStream stream;
    Unwrapper unwrap;
    bool pending_discontinuity = false;
    ContinuityCounter cc;
    bool skip_to_start = false;
    AudioCutter cutter;
    bool described = false;  // the stream said what its sample entry needs
    bool format_known = false;
    AudioClock clock;
    int64_t start_shift = 0;  // the timeline's settled moves when it began (90 kHz)
    // The start: frames wait until the video's first picture is known.
    bool gate_open = false;
    std::optional<int64_t> cut_before;  // 90 kHz
    std::deque<PlacedFrame> held;
    std::optional<PlacedFrame> last;
    TsTrackOutput out;
    uint64_t frames = 0;
    std::optional<uint64_t> first_pts, last_pts;  // of the PES of the first and last frame
};

// A programme of the PAT and what its PMT said, once it came.
struct TsProgramme {
    uint16_t number = 0;
    uint16_t pmt_pid = 0;
    std::optional<std::vector<PmtEntry>> streams;
};

struct TsReader {
    PacketFramer framer;
    uint64_t seen = 0;  // input bytes seen

    // Tables.
    std::vector<TsProgramme> programmes;  // of the last PAT
    uint64_t pat_at = 0;                  // input position of the PAT the choice waits from
    std::optional<uint16_t> pmt_pid;      // of the programme followed
    std::optional<uint16_t> program_number;
    std::vector<PmtEntry> streams;        // of the programme followed, as its PMT says now
    std::vector<PmtEntry> all_streams;    // every stream it named, each PID once
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
    uint64_t candidates_from = 0;                 // input position where they came
    std::optional<int64_t> candidates_video_from;  // the video's last DTS then
    std::deque<TsAudio> audio;                     // the audio tracks, in the order they began
    std::vector<uint16_t> carried;   // PIDs whose stream fed a track
    std::vector<uint16_t> left_out;  // PIDs a road could not carry (a track that began too late for it)
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
// HEVC (0x24) and MPEG-2 video (0x02).
bool is_carried_video(uint8_t stream_type);

// "Unsupported video stream type 0x33 (VVC)" and the like.
std::string unsupported_video_message(uint8_t stream_type);

// Where the input is still needed: no byte before this position is read
// again (for the video samples not taken yet, and packets waiting for their
// programme's tables).
uint64_t ts_input_needed_from(const TsReader& r);

// Drops what the samples taken so far needed: the NAL units, pieces and
// audio bytes before those of the samples not taken yet, and before what the
// caller still holds (the first video sample; each audio track's stream
// position of its first frame), when it holds any.
void drop_taken(TsReader& r, const Sample* video_first, const std::vector<std::optional<uint64_t>>& audio_offsets);

// The number of the NAL unit a taken video sample begins with.
uint64_t nal_number(const TsReader& r, const Sample& s);

// Whether the programme has a video track, and whether its first picture
// is placed.
bool ts_has_video(const TsReader& r);

// Whether the tracks are known: the video's first picture is placed (when
// there is video), and each audio stream is either a track that started,
// or known not to be one.
bool ts_tracks_known(const TsReader& r);

// The programme's report, a line each (after the input is finished).
std::string ts_report(const TsReader& r);

}  // namespace morvex
