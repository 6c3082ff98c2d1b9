// libFuzzer target: the live TS transmuxer against the whole-file TS to
// fragmented MP4 road. The stream is pushed in pieces of two lengths taken
// by turns (1 to 4096 bytes each, from the last four bytes of the input),
// and the joined outputs must equal the whole-file road's output, or both
// roads must fail. Inputs are read up to 128 KB, so that a run is quick.
#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "roads/ts_to_fmp4.h"
#include "roads/ts_transmuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const uint32_t word = in.take_u32();
    const size_t lengths[2] = {1 + (word & 0xFFF), 1 + ((word >> 12) & 0xFFF)};
    const morvex::ByteSpan stream = in.rest.first(std::min<size_t>(in.rest.size(), 128 * 1024));

    std::string report;
    auto whole = morvex::convert_ts_to_fmp4(stream, report);

    morvex::TsTransmuxer t;
    morvex::Bytes joined;
    bool failed = false;
    for (size_t at = 0, k = 0; at < stream.size() && !failed; ++k) {
        const size_t n = std::min(lengths[k & 1], stream.size() - at);
        auto out = morvex::transmux_push(t, stream.subspan(at, n));
        if (!out) failed = true;
        else joined.insert(joined.end(), out->begin(), out->end());
        at += n;
    }
    if (!failed) {
        auto out = morvex::transmux_flush(t);
        if (!out) failed = true;
        else joined.insert(joined.end(), out->begin(), out->end());
    }
    // The whole-file road fails on a stream without video; the transmuxer
    // then has written nothing.
    if (!whole) {
        if (!failed && !joined.empty()) __builtin_trap();
        return 0;
    }
    if (failed || joined != *whole) __builtin_trap();
    return 0;
}
