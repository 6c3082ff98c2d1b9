// libFuzzer target: every MP4 road. The first byte picks the operation; the
// mux road splits the rest in two at a position taken from the next bytes.
#include <cstddef>
#include <cstdint>

#include "fmp4_processor/fmp4_processor.h"
#include "mp4_parser/mp4_rewrite.h"
#include "thumbnail/thumbnail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t op = data[0] % 5;
    morvex::ByteSpan input(data + 1, size - 1);
    switch (op) {
        case 0: (void)morvex::defragment_mp4(input); break;
        case 1: (void)morvex::reset_mp4_timestamps(input); break;
        case 2: {
            size_t split = ((size_t(data[1]) << 8) | data[2]) % (size - 2);
            morvex::ByteSpan rest(data + 3, size - 3);
            (void)morvex::mux_fmp4_tracks(rest.subspan(0, split), rest.subspan(split));
            break;
        }
        case 3: (void)morvex::extract_thumbnail_from_mp4(input); break;
        case 4: {
            // An init segment, then the same media segment twice.
            size_t split = ((size_t(data[1]) << 8) | data[2]) % (size - 2);
            morvex::ByteSpan rest(data + 3, size - 3);
            morvex::FragmentedMP4Processor processor;
            morvex::set_init_segment(processor, rest.subspan(0, split));
            (void)morvex::process_segment(processor, rest.subspan(split));
            (void)morvex::process_segment(processor, rest.subspan(split));
            break;
        }
    }
    return 0;
}
