// libFuzzer target: the ADTS cut of an audio elementary stream. The input is
// the stream; a PES begins every (last byte + 1) * 8 bytes of it. Frames must
// follow one another inside the stream, and the stream arriving in pieces of
// that length must be cut into the same frames as the whole.
#include "audio_cut.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const size_t step = (size_t(in.take_byte()) + 1) * 8;
    const auto whole = morvex::fuzz::cut_in_pieces(morvex::AudioCodec::Aac, in.rest, step, in.rest.size() + 1).frames;
    size_t end = 0;
    for (const auto& f : whole) {
        if (f.offset < end + 7 || f.offset + f.size > in.rest.size()) __builtin_trap();
        if (f.pes != morvex::kNoPes && f.pes * step > f.offset) __builtin_trap();
        end = f.offset + f.size;
    }
    const auto pieces = morvex::fuzz::cut_in_pieces(morvex::AudioCodec::Aac, in.rest, step, step).frames;
    if (pieces.size() != whole.size()) __builtin_trap();
    for (size_t k = 0; k < whole.size(); ++k)
        if (pieces[k].offset != whole[k].offset || pieces[k].size != whole[k].size || pieces[k].pes != whole[k].pes ||
            pieces[k].index != whole[k].index)
            __builtin_trap();
    return 0;
}
