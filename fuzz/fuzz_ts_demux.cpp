// libFuzzer target: the transport stream reader (packets, PSI, PES, access
// units, audio frames, timing) over a whole stream. Every sample it gives
// lies inside the stream it was cut from, and those streams hold no more
// than the input.
#include "ts/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace morvex;
    TsReader r;
    r.video.es.window = data;
    (void)read_ts(r, StreamBytes{ByteSpan(data, size), 0, true});
    const auto& nals = r.video.cutter.nals;
    for (const Sample& s : r.video.out.samples) {
        const uint64_t first = nal_number(r, s);
        if (first < nals.base || first + s.nal_count > nals.end()) __builtin_trap();
        for (uint32_t k = 0; k < s.nal_count; ++k) {
            const NalRange& n = nals.ranges[size_t(first + k - nals.base)];
            if (n.offset + n.size > r.video.es.size) __builtin_trap();
        }
    }
    for (const Sample& s : r.audio.out.samples)
        if (s.offset < r.audio.stream.base || s.offset + s.size > r.audio.stream.end()) __builtin_trap();
    if (r.video.es.size + r.audio.stream.data.size() > size) __builtin_trap();
    return 0;
}
