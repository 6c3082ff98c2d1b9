// libFuzzer target: the avcC record, and a sample (the rest of the input)
// rewritten from its length-prefixed NAL units to Annex B. Each NAL unit
// grows by at most its 4-byte start code.
#include "codecs/avc_config.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    auto [record, sample] = in.split();
    auto config = morvex::parse_avc_config(record);
    const uint8_t length_size = config ? config->length_size : uint8_t(1 + in.take_byte() % 4);
    morvex::Bytes out;
    morvex::append_annexb_sample(out, sample, length_size);
    if (out.size() > 4 * sample.size() + 4) __builtin_trap();
    return 0;
}
