// libFuzzer target: PES header timestamps and the payload behind the header,
// which must lie inside the input.
#include "ts/pes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const morvex::ByteSpan payload(data, size);
    auto ts = morvex::extract_pes_timestamps(payload);
    if ((ts.pts && *ts.pts >> 33) || (ts.dts && *ts.dts >> 33)) __builtin_trap();
    if (auto rest = morvex::pes_payload_after_header(payload))
        if (rest->data() < data || rest->data() + rest->size() > data + size) __builtin_trap();
    return 0;
}
