// libFuzzer target: the transport stream roads (conversion to MP4 and the
// key frame), which must return a value or an error for any input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mp4_writer/mp4_writer.h"
#include "thumbnail/thumbnail.h"
#include "ts_parser/ts_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::ByteSpan input(data, size);
    std::string report;
    if (auto media = morvex::parse_ts_packets(input, report)) {
        auto mp4 = morvex::create_mp4_with_options(std::move(*media), false);
        (void)mp4;
    }
    (void)morvex::extract_thumbnail_from_ts(input);
    return 0;
}
