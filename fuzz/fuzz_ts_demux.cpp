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
        // MPEG-2 pictures are copied as they are, from their offset.
        if (s.nal_count == 0) {
            if (s.offset + s.size > r.video.es.size) __builtin_trap();
            continue;
        }
        const uint64_t first = nal_number(r, s);
        if (first < nals.base || first + s.nal_count > nals.end()) __builtin_trap();
        for (uint32_t k = 0; k < s.nal_count; ++k) {
            const NalRange& n = nals.ranges[size_t(first + k - nals.base)];
            if (n.offset + n.size > r.video.es.size) __builtin_trap();
        }
    }
    // Each audio track's samples lie in its stream; LATM frames are made
    // byte-aligned within their LOAS frame, so no stream outgrows the input.
    uint64_t audio = 0;
    for (const TsAudio& a : r.audio) {
        for (const Sample& s : a.out.samples)
            if (s.offset < a.stream.base || s.offset + s.size > a.stream.end()) __builtin_trap();
        audio += a.stream.data.size();
    }
    if (r.video.es.size + audio > size) __builtin_trap();
    return 0;
}
