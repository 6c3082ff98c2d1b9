// The writer of fragmented MP4 (ISO/IEC 14496-12 8.8): an initialisation
// segment (ftyp, and a moov whose tracks have empty sample tables and whose
// mvex holds one trex per track), then movie fragments, each a moof with one
// traf per track (tfhd with default-base-is-moof, tfdt version 1, one trun)
// followed by the mdat that holds its samples.
//
// A movie is cut into fragments as mp4/fragmenter.h says: one per group of
// pictures of its video track. A track's leading empty edit becomes its
// first decode time, so the tracks keep the offset the source gives them
// without an edit list.
//
// Every size is known before a byte is written: a fragment is laid out from
// its samples alone and written once, in place.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "common/planned_output.h"
#include "media/track.h"
#include "mp4/regular_writer.h"

namespace morvex {

// Sample flags of 8.8.3.1: a sync sample depends on no other
// (sample_depends_on 2); any other depends on others (sample_depends_on 1)
// and is a non-sync sample.
inline constexpr uint32_t kSyncSampleFlags = 0x02000000u;
inline constexpr uint32_t kNonSyncSampleFlags = 0x01010000u;

// One traf: the samples of one track in a fragment, in decode order. The
// samples are copies of the track's records, so that a run may set their
// durations; their bytes are written from the track with write_sample.
struct TrackRun {
    const Track* track = nullptr;
    uint32_t track_id = 0;
    uint64_t decode_time = 0;  // tfdt baseMediaDecodeTime, media timescale
    uint32_t default_flags = kSyncSampleFlags;
    std::vector<Sample> samples;
};

struct MovieFragment {
    uint32_t sequence = 1;  // mfhd sequence_number
    std::vector<TrackRun> runs;  // runs without samples are left out
};

// ftyp (iso6, compatible iso6, isom, iso5; or `ftyp` when given) and moov:
// mvhd, one trak per track rebuilt from its template with empty
// stts/stsc/stsz/stco and the template's stsd, no edit list, and mvex with
// a trex per track.
Result<Bytes> build_init_segment(std::span<const Track> tracks, uint32_t movie_timescale, ByteSpan ftyp = {});

// The exact size of a fragment's moof and mdat.
uint64_t fragment_size(const MovieFragment& f);
// Writes the fragment at `out` (fragment_size bytes); returns the end.
uint8_t* write_fragment(const MovieFragment& f, uint8_t* out);

// The decode time at which a track starts: its leading empty edits (movie
// timescale) in the track's media timescale.
uint64_t leading_empty_time(const Track& t, uint32_t movie_timescale);

// The fragments of a whole movie, numbered from `first_sequence`; each
// track starts at its leading delay.
std::vector<MovieFragment> fragment_movie(const Movie& movie, uint32_t first_sequence = 1);

// The init segment and every fragment of the movie, written later into
// storage the caller hands over. `keep` holds what the samples point into.
Result<PlannedOutput> plan_fragmented_mp4(std::shared_ptr<const Movie> movie, std::shared_ptr<const void> keep = {});

}  // namespace morvex
