// libFuzzer target: mux_fmp4_tracks. The input is the video file, the audio
// file and a 4-byte big-endian length of the video file.
#include "fuzz_input.h"
#include "roads/mp4_roads.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    auto [video, audio] = in.split();
    (void)morvex::mux_fmp4_tracks(video, audio);
    return 0;
}
