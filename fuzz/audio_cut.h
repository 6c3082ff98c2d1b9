// The audio cutter of the fuzz targets, fed a stream in pieces as the TS
// reader feeds it: a PES begins every `step` bytes.
#pragma once

#include <algorithm>
#include <vector>

#include "ts/audio_frames.h"

namespace morvex::fuzz {

struct AudioCut {
    std::vector<AudioFrame> frames;
    Bytes data;  // the stream as the cutter left it (LATM frames made byte-aligned in it)
};

inline AudioCut cut_in_pieces(AudioCodec codec, ByteSpan stream, size_t step, size_t piece) {
    AudioStream s;
    AudioCutter c;
    c.codec = codec;
    AudioCut out;
    auto take = [&](const AudioFrame& f) { out.frames.push_back(f); };
    for (size_t at = 0; at < stream.size(); at += piece) {
        const size_t end = std::min(stream.size(), at + piece);
        for (size_t pes = (at + step - 1) / step * step; pes < end; pes += step)
            s.pes.push_back(PesMark{pes, {}, false, 0, std::nullopt});
        s.data.insert(s.data.end(), stream.begin() + at, stream.begin() + end);
        cut_audio_frames(c, s, false, take);
    }
    cut_audio_frames(c, s, true, take);
    out.data = std::move(s.data);
    return out;
}

}  // namespace morvex::fuzz
