// libFuzzer target: the ADTS cut of an audio elementary stream. The input is
// the stream; a PES begins every (last byte + 1) * 8 bytes of it. Frames must
// follow one another inside the stream.
#include "fuzz_input.h"
#include "ts/demuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const size_t step = (size_t(in.take_byte()) + 1) * 8;
    morvex::TsProgram program;
    program.audio.data.assign(in.rest.begin(), in.rest.end());
    for (size_t at = 0; at < in.rest.size(); at += step) program.audio.pes.push_back({at, {}});
    morvex::cut_adts_frames(program);
    size_t end = 0;
    for (const auto& f : program.audio_frames) {
        if (f.offset < end + 7 || f.offset + f.size > in.rest.size()) __builtin_trap();
        if (f.pes != morvex::kNoPes && (f.pes >= program.audio.pes.size() || program.audio.pes[f.pes].offset > f.offset))
            __builtin_trap();
        end = f.offset + f.size;
    }
    return 0;
}
