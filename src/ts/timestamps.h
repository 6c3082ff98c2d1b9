// Timestamps of MPEG-2 systems: 33-bit counts of the 90 kHz clock (ITU-T
// H.222.0 2.4.3.7), carried in PES headers.
#pragma once

#include <cstdint>
#include <optional>

namespace morvex {

constexpr uint32_t kTsClock = 90000;

// PTS and DTS of one PES header.
struct PesTimestamps {
    std::optional<uint64_t> pts;
    std::optional<uint64_t> dts;
};

// A 33-bit timestamp placed on a continuous timeline: of the values
// v + k * 2^33, the one nearest to `near`. Comparing candidates (rather than
// testing for a drop) keeps a stream counting upwards across the wrap, and
// lets a timestamp slightly before the last one (a B-frame's PTS) stay
// before it.
int64_t unwrap_timestamp(uint64_t v, int64_t near);

// Unwraps a stream of timestamps, each near the one before.
struct Unwrapper {
    std::optional<int64_t> last;

    int64_t operator()(uint64_t v) {
        const int64_t t = last ? unwrap_timestamp(v, *last) : int64_t(v & ((uint64_t(1) << 33) - 1));
        last = t;
        return t;
    }
};

}  // namespace morvex
