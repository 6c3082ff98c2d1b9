// Joining movies one after the other on one timeline, without re-encoding
// (an operation on the one movie every reader gives): recordings or
// segments whose own timestamps restart, jump or overlap.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "media/movie.h"

namespace morvex {

// The joined movie, and the trak boxes written for it (a sample entry per
// distinct one of the parts'), which its tracks point into. The parts'
// movies and inputs must outlive it: its samples are theirs.
struct JoinedMovie {
    Movie movie;
    std::vector<Bytes> traks;
};

// Part 0's tracks are the joined movie's: its video tracks and audio tracks
// in order, each matched with the track of the same kind and rank in every
// later part, which must have the same codec ("Part 2 holds hevc where part
// 0 holds h264").
//
// Video runs on: a part's first picture comes one frame after the previous
// part's last picture (its last sample's duration). Each part's audio keeps
// its offset to that part's video; frames that would overlap the previous
// part's audio are dropped whole, and a gap stays a gap (the frame before
// it lasts until the next). Without video, audio runs on the same way. A
// part whose sample entry differs (new parameter sets after a resolution
// change or an encoder restart) gets a sample entry of its own, so every
// picture decodes.
Result<std::unique_ptr<JoinedMovie>> join_movies(std::span<const Movie* const> parts);

}  // namespace morvex
