// libFuzzer target: mux_fmp4_tracks. The input is the video file, the audio
// file and a 4-byte big-endian length of the video file. What it writes
// holds the tracks of both, in order, each with as many samples as it had.
#include "fuzz_input.h"
#include "roads/mp4_roads.h"
#include "track_counts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    auto [video, audio] = in.split();
    auto out = morvex::mux_fmp4_tracks(video, audio);
    if (!out) return 0;
    morvex::fuzz::require_same_tracks({video, audio}, *out);
    return 0;
}
