// libFuzzer target: the live segment processor over a sequence of calls.
// The input is an init segment, a media segment, a 4-byte big-endian length
// of the init segment, then two bytes of operations read from the end, two
// bits each: process the segment, reset, set the init segment again, or
// process the init segment as a segment. The init segment is set first.
#include "fuzz_input.h"
#include "roads/segment_rebaser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const unsigned ops = in.take_byte() | unsigned(in.take_byte()) << 8;
    auto [init, segment] = in.split();
    morvex::FragmentedMP4Processor processor;
    morvex::set_init_segment(processor, init);
    for (int i = 0; i < 8; ++i) {
        switch ((ops >> (2 * i)) & 3) {
            case 0: (void)morvex::process_segment(processor, segment); break;
            case 1: morvex::reset(processor); break;
            case 2: morvex::set_init_segment(processor, init); break;
            case 3: (void)morvex::process_segment(processor, init); break;
        }
    }
    return 0;
}
