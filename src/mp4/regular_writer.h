// The one writer of regular (non-fragmented) MP4 files: ftyp, a movie box
// rebuilt from a template with complete sample tables, and one mdat whose
// chunks interleave the tracks in decode-time order, about half a second of
// each track per chunk (ISO/IEC 14496-12 8.7).
//
// The writer first lays the file out (the movie box, the chunk order, the
// exact size) and then writes the media once into a buffer it is handed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/planned_output.h"
#include "common/error.h"
#include "media/movie.h"
#include "media/track.h"

namespace morvex {

// The chunks of one track (ISO/IEC 14496-12 8.7.4), in the form stsc gives
// them: runs of consecutive chunks with the same number of samples.
struct ChunkRun {
    uint32_t chunks = 0;
    uint32_t samples_per_chunk = 0;
    uint32_t description = 1;  // sample_description_index
};

struct TrackChunks {
    std::vector<ChunkRun> runs;
    uint64_t count = 0;  // chunks in all
};

// One chunk of the file, as for_each_chunk hands it over.
struct ChunkAt {
    uint32_t track = 0;  // index in Movie::tracks
    uint64_t index = 0;  // of the chunk in its track
    uint32_t first_sample = 0;
    uint32_t sample_count = 0;
};

struct Mp4Layout {
    Bytes head;  // ftyp, moov and the mdat header
    std::vector<TrackChunks> chunks;  // per track
    uint64_t size = 0;                // the whole file
};

// The movie box and chunk order of the file, with every offset settled.
Result<Mp4Layout> lay_out_regular_mp4(const Movie& movie);

// Calls f for every chunk in file order: ordered across
// tracks by the instant they start (a track's leading empty edits included),
// so that a player reading the file front to back finds the media of every
// track near the time it plays.
void for_each_chunk(const Movie& movie, const std::vector<TrackChunks>& chunks,
                    const std::function<void(const ChunkAt&)>& f);

// Writes the file into `out`, which holds exactly layout.size bytes.
void write_regular_mp4(const Movie& movie, const Mp4Layout& layout, OutputBuffer& out);

// The layout, and the writing deferred to storage the caller hands over.
// `movie` must stay as it is until the output is written; `keep` holds
// whatever its samples point into.
Result<PlannedOutput> plan_regular_mp4(std::shared_ptr<const Movie> movie, std::shared_ptr<const void> keep = {});

// The ftyp of files rebuilt from MP4 input: isom, minor version 2,
// compatible isom, iso2, avc1, mp41.
extern const uint8_t kRebuiltFtyp[32];

}  // namespace morvex
