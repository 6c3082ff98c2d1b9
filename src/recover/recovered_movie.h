// The movie of a recording that was cut short (a recorder killed by a
// crash, a power loss or a full disk), for the regular writer:
//  - a fragmented MP4 (an initialisation moov, then moof/mdat fragments)
//    cut anywhere: every sample whose bytes are all there, those of the
//    fragment it ends in too;
//  - a regular MP4 whose moov is missing (never written, or cut) and whose
//    mdat size is 0, wrong, or larger than the file: the samples found in
//    the media data (recover/mdat_scanner.h), described by a reference file
//    from the same recorder, by the file's own moov when it has one whose
//    tables cannot be used, or, without either, by the parameter sets the
//    video carries in-band (the video only, then);
//  - a healthy MP4: every sample, as it is.
// The samples' bytes stay in `data`.
#pragma once

#include <optional>

#include "common/bytes.h"
#include "common/error.h"
#include "mp4/regular_writer.h"

namespace morvex {

// The recovered movie and the bytes its templates lie in (a movie box made
// when there is no reference), which must live as long as the movie.
struct RecoveredMovie {
    Movie movie;
    Bytes templates;
};

Result<RecoveredMovie> recovered_movie(ByteSpan data, std::optional<ByteSpan> reference);

}  // namespace morvex
