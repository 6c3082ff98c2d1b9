// libFuzzer target: the live TS transmuxer over a stream cut in pieces, and
// the whole-file TS to fragmented MP4 road on the same bytes. The last four
// bytes give the piece length (1 to 65536 bytes) and, in their top bit,
// whether to reset the transmuxer half way and start again.
#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "roads/ts_to_fmp4.h"
#include "roads/ts_transmuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const uint32_t word = in.take_u32();
    const size_t piece = 1 + (word & 0xFFFF);
    const bool reset_half_way = word >> 31;
    const morvex::ByteSpan stream = in.rest;

    std::string report;
    (void)morvex::convert_ts_to_fmp4(stream, report);

    morvex::TsTransmuxer t;
    for (size_t at = 0; at < stream.size(); at += piece) {
        if (reset_half_way && at >= stream.size() / 2 && at < stream.size() / 2 + piece) morvex::transmux_reset(t);
        if (!morvex::transmux_push(t, stream.subspan(at, std::min(piece, stream.size() - at)))) break;
    }
    (void)morvex::transmux_flush(t);
    return 0;
}
