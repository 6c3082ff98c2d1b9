// A live transport stream, segment by segment, to fragmented MP4: the
// initialisation segment once, then one movie fragment per group of
// pictures as soon as the next IDR picture has arrived.
//
// The state keeps the stream from the first packet still needed on (the
// PES that holds the first picture not yet written, or the first audio
// frame not yet written, whichever comes first in the stream), and the
// programme's PAT and PMT packets, which go in front of those bytes when
// they are demultiplexed again. The bytes before the cut are dropped, so
// the memory held is the pending span, not the stream. A PES or an access
// unit split across two segments is read whole once both have arrived.
//
// Decode times go on from fragment to fragment: the first fragment starts
// where the programme puts each track (the earlier track at 0), and each
// later span is placed so that its first picture follows the last one
// written, the audio keeping the offset the source gives it in that span.
// Jumps of the timestamps inside a span are smoothed as the TS road does;
// a new PMT that names other PIDs ends the programme: what is pending is
// written, and the new programme goes on on the same timeline.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

struct TsTransmuxer {
    Bytes tables;   // the last PAT and PMT packets
    std::vector<std::pair<uint8_t, uint16_t>> streams;  // of the PMT in `tables`: stream type, PID
    Bytes pending;  // the stream from the cut on
    uint64_t pending_at = 0;  // stream position of pending[0]
    std::optional<Bytes> init;
    bool init_given = false;
    bool has_audio = false;  // the init segment has an audio track
    bool started = false;    // a fragment has been written
    uint32_t sequence = 1;   // of the next fragment
    int64_t video_next = 0;  // decode time of the next picture, 90 kHz
    // PTS minus DTS of the first picture written: the composition offsets
    // of every span count from it, as in a file converted whole.
    int64_t first_offset = 0;
    int64_t audio_next = 0;  // of the next audio frame, in the audio timescale
    bool audio_started = false;
    // The last picture and audio frame written: the stream position of the
    // packet that began their PES, and the picture's byte offset or the
    // frame's index in it.
    std::optional<std::pair<uint64_t, uint32_t>> last_video;
    std::optional<std::pair<uint64_t, uint32_t>> last_audio;
    // When to demultiplex again: bytes pushed since the last look, and the
    // looks left after a key start.
    uint64_t since_look = 0;
    int key_looks = 0;
};

// Takes the next bytes of the stream; returns the fragments now complete,
// after the initialisation segment the first time it is known.
Result<Bytes> transmux_push(TsTransmuxer& t, ByteSpan segment);

// Writes all that is pending (the last group of pictures too).
Result<Bytes> transmux_flush(TsTransmuxer& t);

// Back to a new stream.
void transmux_reset(TsTransmuxer& t);

}  // namespace morvex
