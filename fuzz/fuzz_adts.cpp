// libFuzzer target: the ADTS cut of an audio elementary stream. The input is
// the stream; a PES begins every (last byte + 1) * 8 bytes of it. Frames must
// follow one another inside the stream, and the stream arriving in pieces of
// that length must be cut into the same frames as the whole.
#include <vector>

#include "fuzz_input.h"
#include "ts/audio_frames.h"

namespace {

std::vector<morvex::AudioFrame> cut(morvex::ByteSpan stream, size_t step, size_t piece) {
    using namespace morvex;
    AudioStream s;
    AudioCutter c;
    std::vector<AudioFrame> frames;
    auto take = [&](const AudioFrame& f) { frames.push_back(f); };
    for (size_t at = 0; at < stream.size(); at += piece) {
        const size_t end = std::min(stream.size(), at + piece);
        for (size_t pes = (at + step - 1) / step * step; pes < end; pes += step)
            s.pes.push_back(PesMark{pes, {}, false, 0, std::nullopt});
        s.data.insert(s.data.end(), stream.begin() + at, stream.begin() + end);
        cut_audio_frames(c, s, false, take);
    }
    cut_audio_frames(c, s, true, take);
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const size_t step = (size_t(in.take_byte()) + 1) * 8;
    const auto whole = cut(in.rest, step, in.rest.size() + 1);
    size_t end = 0;
    for (const auto& f : whole) {
        if (f.offset < end + 7 || f.offset + f.size > in.rest.size()) __builtin_trap();
        if (f.pes != morvex::kNoPes && f.pes * step > f.offset) __builtin_trap();
        end = f.offset + f.size;
    }
    const auto pieces = cut(in.rest, step, step);
    if (pieces.size() != whole.size()) __builtin_trap();
    for (size_t k = 0; k < whole.size(); ++k)
        if (pieces[k].offset != whole[k].offset || pieces[k].size != whole[k].size || pieces[k].pes != whole[k].pes ||
            pieces[k].index != whole[k].index)
            __builtin_trap();
    return 0;
}
