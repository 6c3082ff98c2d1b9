// Timing of the samples of a transport stream, as they arrive.
//
// Video: an access unit takes the PTS/DTS of the PES in which its first byte
// lies, when it is the first unit to begin in that PES; a PES that begins
// inside a unit already open gives its timestamps to the next unit that
// begins in it. A unit without timestamps follows the one before by the
// frame duration (the SPS's VUI timing, else the stream's most common step
// so far) in decode order, and is presented where its picture order count
// puts it after the last picture that had a PTS (H.264: two counts a
// frame, or one when two timed pictures say so; HEVC, MPEG-2: one); units
// before the first timed one are placed back from it. A sample lasts until
// the next one's DTS.
//
// Audio: each frame of a PES takes the PES's PTS plus its index there times
// the frame duration. The timeline counts frame by frame and follows the
// PES timestamps where they part from it by more than half a millisecond,
// so a gap (a lost PES) stays a gap.
//
// Joins: within a stream, a timestamp that jumps backwards, or forwards by
// more than five seconds, or that follows a discontinuity_indicator, starts
// a new piece of timeline, which continues where the last one ended (plus a
// frame): joined recordings and HLS discontinuities play through. Video and
// audio tracks move by the same amount at their k-th join, the largest of
// the moves each would make on its own, so that they keep their offsets in
// every piece. A track that reaches a join waits for the others to reach
// it, for five seconds of its own media at the most. A track that begins
// later (a stream a new PMT adds) starts with the moves settled so far.
//
// Everything is decided from what has arrived, in stream order, so that a
// stream read in pieces is timed as the whole stream is.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "media/track.h"
#include "ts/access_units.h"
#include "ts/program.h"

namespace morvex {

// The joins of a programme's timeline, each with the move of each track
// (a participant: the video, each audio track).
struct Timeline {
    struct Join {
        std::vector<std::optional<int64_t>> moves;  // by participant, 90 kHz
        std::optional<int64_t> settled;
    };
    std::vector<Join> joins;
    std::vector<bool> active;  // by participant: takes part (an ended track no longer does)
    bool pending = false;      // a track may still take part (audio not recognised yet)

    // The sum of the settled moves: where a track that begins now starts.
    int64_t settled_shift() const;
};

size_t add_participant(Timeline& t);

// A track's own move at its k-th join; the move all take once it is
// settled (empty while another track may still come to it). `force`
// settles it with what is known.
std::optional<int64_t> join_move(Timeline& t, size_t who, size_t k, int64_t own, bool force);

struct RawPicture {
    AccessUnit unit;
    std::optional<int64_t> pts, dts;  // of its PES, unwrapped (90 kHz)
    bool discontinuity = false;       // its PES followed a discontinuity_indicator, or a new programme
};

struct PlacedPicture {
    AccessUnit unit;
    int64_t dts = 0, pts = 0;  // on the timeline (90 kHz)
};

// The last picture placed that had a PTS (or began a period of picture
// order counts): untimed pictures are presented from it.
struct OrderAnchor {
    uint32_t period = 0;
    int64_t order = 0;
    int64_t pts = 0;  // on the timeline
};

struct VideoClock {
    size_t participant = 0;
    uint8_t orders_per_frame = 1;            // picture order counts a frame advances (H.264: 2)
    std::optional<uint32_t> frame_duration;  // of the SPS's VUI timing
    std::map<int64_t, uint32_t> steps;       // how often each DTS step was seen
    int64_t common_step = 3000;
    uint32_t common_count = 0;
    std::optional<int64_t> last_raw_dts;
    uint32_t untimed_since = 0;  // pictures without a DTS since last_raw_dts
    std::optional<OrderAnchor> anchor;
    std::deque<RawPicture> waiting;
    bool anchored = false;    // where the pictures before the first timed one go is known
    bool seen_timed = false;  // a timed picture is placed: later ones may join
    int64_t origin = 0;
    int64_t usual_offset = 0;  // PTS minus DTS of the first timed picture
    int64_t shift = 0;         // moves the current piece of timeline
    std::optional<int64_t> prev_dts;
    size_t joins = 0;

    int64_t step() const { return frame_duration ? int64_t(*frame_duration) : common_step; }
};

void add_picture(VideoClock& c, RawPicture p);

// Places the waiting pictures it can; `final`: no more will come.
template <typename F>
void place_pictures(VideoClock& c, Timeline& timeline, int64_t reference, bool final, F&& on_placed);

struct RawFrame {
    AudioFrame frame;
    std::optional<int64_t> time;  // its PES's PTS in the audio timescale, unwrapped
    bool discontinuity = false;
};

struct PlacedFrame {
    AudioFrame frame;
    int64_t time = 0;  // on the timeline, in the audio timescale
};

struct AudioClock {
    size_t participant = 0;
    uint32_t timescale = 90000;
    uint32_t frame_ticks = 1920;
    std::deque<RawFrame> waiting;
    bool anchored = false;
    int64_t first = 0;  // where the first frame goes
    std::optional<int64_t> prev;
    int64_t shift = 0;
    size_t joins = 0;
};

template <typename F>
void place_frames(AudioClock& c, Timeline& timeline, bool final, F&& on_placed);

// ---------------------------------------------------------------------------

// One step of each clock: true when a picture (frame) was placed, false
// when the next must wait.
bool place_next_picture(VideoClock& c, Timeline& timeline, int64_t reference, bool final, PlacedPicture* out);
bool place_next_frame(AudioClock& c, Timeline& timeline, bool final, PlacedFrame* out);

template <typename F>
void place_pictures(VideoClock& c, Timeline& timeline, int64_t reference, bool final, F&& on_placed) {
    PlacedPicture p;
    while (place_next_picture(c, timeline, reference, final, &p)) on_placed(p);
}

template <typename F>
void place_frames(AudioClock& c, Timeline& timeline, bool final, F&& on_placed) {
    PlacedFrame f;
    while (place_next_frame(c, timeline, final, &f)) on_placed(f);
}

}  // namespace morvex
