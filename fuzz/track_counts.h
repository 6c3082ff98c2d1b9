// The property the MP4 rewriting targets share: no track is dropped. Each
// track of the inputs comes out with as many samples as it went in with,
// unless the call failed.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "media/mp4_tracks.h"

namespace morvex::fuzz {

// Traps unless `output`, read again, has the tracks of `inputs` in order,
// each with its number of samples.
inline void require_same_tracks(std::initializer_list<ByteSpan> inputs, ByteSpan output) {
    std::vector<size_t> in;
    for (ByteSpan file : inputs) {
        auto tracks = read_mp4_tracks(file);
        if (!tracks) __builtin_trap();  // the call read them
        for (const auto& t : tracks->tracks) in.push_back(t.samples.size());
    }
    auto out = read_mp4_tracks(output);
    if (!out || out->tracks.size() != in.size()) __builtin_trap();
    for (size_t k = 0; k < in.size(); ++k)
        if (out->tracks[k].samples.size() != in[k]) __builtin_trap();
}

}  // namespace morvex::fuzz
