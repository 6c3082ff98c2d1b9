// Cutting tracks whose samples arrive in decode order into movie fragments
// (ISO/IEC 14496-12 8.8): one per group of pictures of the lead track (the
// first video track), a new group at each sync sample, or after ten seconds
// or 8 MB without one, so that a stream without key pictures still comes out
// in bounded pieces. A lead that is not video (a movie of audio alone) is
// cut into groups of a second. Groups of less than 1 KB of samples share a fragment
// with the ones after them, so that a fragment's boxes never outweigh its
// media many times over. Each other track's samples whose decode time, in
// seconds, falls before the end of the fragment's last group go into the
// same fragment.
//
// A fragment is written once the lead's next group has begun and the other
// tracks' samples have arrived up to its end; a track that lags by more
// than two groups no longer holds the others back, and a track that runs
// more than ten seconds ahead of the lead (whose pictures stopped) is
// written on its own. What is decided depends only on the samples added, in
// order, so that a stream cut anywhere is cut into the same fragments.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "media/track.h"
#include "mp4/fragmented_writer.h"

namespace morvex {

struct FragmenterTrack {
    const Track* track = nullptr;  // timescale, handler, ID, and where the bytes are
    std::deque<Sample> pending;
    uint64_t time = 0;         // decode time of pending.front()
    uint64_t pending_end = 0;  // decode time after the last sample added
};

struct Fragmenter {
    std::vector<FragmenterTrack> tracks;
    size_t lead = 0;
    // The lead's groups that are complete.
    struct Group {
        size_t count = 0;
        uint64_t duration = 0;
        uint64_t bytes = 0;
    };
    std::deque<Group> groups;
    size_t open_count = 0;  // of the group being added to
    uint64_t open_duration = 0;
    uint64_t open_bytes = 0;
    uint32_t sequence = 1;
};

// Tracks in the order of the init segment; each starts at decode time
// `start` (its leading delay, in its own timescale).
void fragmenter_add_track(Fragmenter& f, const Track* track, uint64_t start);
void fragmenter_add(Fragmenter& f, size_t track, const Sample& s);

// The fragments now complete (all that is left when `final`), in order.
std::vector<MovieFragment> fragmenter_take(Fragmenter& f, bool final);

// The first sample each track still holds, if any.
const Sample* fragmenter_first(const Fragmenter& f, size_t track);

}  // namespace morvex
