#include "ts/timestamps.h"

namespace morvex {

int64_t unwrap_timestamp(uint64_t v, int64_t near) {
    constexpr int64_t kWrap = int64_t(1) << 33;
    const int64_t value = int64_t(v & uint64_t(kWrap - 1));
    int64_t d = ((value - near) % kWrap + kWrap) % kWrap;  // in [0, 2^33)
    if (d >= kWrap / 2) d -= kWrap;
    return near + d;
}

}  // namespace morvex
