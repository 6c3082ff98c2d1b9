// libFuzzer target: transport stream packets, PSI and PES gathering, and the
// ADTS cut behind them. The streams hold no more than the input.
#include "ts/demuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto program = morvex::demux_ts(morvex::ByteSpan(data, size));
    if (program && program->video.data.size() + program->audio.data.size() > size) __builtin_trap();
    return 0;
}
