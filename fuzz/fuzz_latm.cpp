// libFuzzer target: AAC in LATM/LOAS, cut into raw frames. The input is
// the audio stream; a PES begins every (last byte + 1) * 8 bytes of it.
// Frames lie inside the stream one after the other, and the stream arriving
// in pieces of that length gives the same frames, with the same bytes once
// made byte-aligned, as the whole.
#include "audio_cut.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const size_t step = (size_t(in.take_byte()) + 1) * 8;
    const auto whole = morvex::fuzz::cut_in_pieces(morvex::AudioCodec::Latm, in.rest, step, in.rest.size() + 1);
    uint64_t end = 0;
    for (const auto& f : whole.frames) {
        if (f.offset < end + 3 || f.offset + f.size > in.rest.size()) __builtin_trap();
        end = f.offset + f.size;
    }
    const auto pieces = morvex::fuzz::cut_in_pieces(morvex::AudioCodec::Latm, in.rest, step, step);
    if (pieces.frames.size() != whole.frames.size()) __builtin_trap();
    for (size_t k = 0; k < whole.frames.size(); ++k) {
        const auto &a = whole.frames[k], &b = pieces.frames[k];
        if (a.offset != b.offset || a.size != b.size || a.pes != b.pes || a.index != b.index) __builtin_trap();
        for (uint32_t i = 0; i < a.size; ++i)
            if (whole.data[a.offset + i] != pieces.data[a.offset + i]) __builtin_trap();
    }
    return 0;
}
