// libFuzzer target: every MP4 road. The last byte picks the operation; the
// mux and segment roads split the rest in two at a position taken from the
// two bytes before it.
#include <cstddef>
#include <cstdint>

#include "roads/mp4_roads.h"
#include "roads/segment_rebaser.h"
#include "roads/thumbnails.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // The operation comes from the last byte, so that a real file given as
    // a seed is read from its first box.
    const uint8_t op = data[size - 1] % 6;
    morvex::ByteSpan input(data, size - 1);
    switch (op) {
        case 0: (void)morvex::defragment_mp4(input); break;
        case 1: (void)morvex::reset_mp4_timestamps(input); break;
        case 2: {
            size_t split = ((size_t(data[size - 3]) << 8) | data[size - 2]) % (size - 2);
            morvex::ByteSpan rest(data, size - 3);
            split = split > rest.size() ? rest.size() : split;
            (void)morvex::mux_fmp4_tracks(rest.subspan(0, split), rest.subspan(split));
            break;
        }
        case 3: (void)morvex::extract_thumbnail_from_mp4(input); break;
        case 4: {
            // An init segment, then the same media segment twice.
            size_t split = ((size_t(data[size - 3]) << 8) | data[size - 2]) % (size - 2);
            morvex::ByteSpan rest(data, size - 3);
            split = split > rest.size() ? rest.size() : split;
            morvex::FragmentedMP4Processor processor;
            morvex::set_init_segment(processor, rest.subspan(0, split));
            (void)morvex::process_segment(processor, rest.subspan(split));
            (void)morvex::process_segment(processor, rest.subspan(split));
            break;
        }
        case 5: (void)morvex::convert_mp4_reset_timestamps(input); break;
    }
    return 0;
}
