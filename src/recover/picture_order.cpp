#include "recover/picture_order.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace morvex {
namespace {

// Places a picture may move between decoding and display: a decoded
// picture buffer holds at most 16 (H.264 A.3.1, H.265 A.4.2), and this
// leaves room for fields.
constexpr int64_t kMaxMove = 64;

}  // namespace

uint64_t order_pictures(std::span<const ScannedPicture> pictures, uint32_t duration, std::vector<Sample>& samples) {
    const size_t n = std::min(pictures.size(), samples.size());
    // Each picture's place in display order minus its place in decode
    // order, held in composition_offset until the delay is known.
    std::vector<uint32_t> order;
    int64_t earliest = 0, latest = 0;
    for (size_t a = 0; a < n;) {
        size_t b = a + 1;
        while (b < n && pictures[b].period == pictures[a].period) ++b;
        order.resize(b - a);
        std::iota(order.begin(), order.end(), uint32_t(0));
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t x, uint32_t y) { return pictures[a + x].order < pictures[a + y].order; });
        bool in_step = true;
        for (size_t rank = 0; rank < order.size(); ++rank)
            in_step &= std::llabs(int64_t(rank) - int64_t(order[rank])) <= kMaxMove;
        for (size_t rank = 0; rank < order.size(); ++rank) {
            const size_t i = a + order[rank];
            samples[i].composition_offset = in_step ? int32_t(int64_t(rank) - int64_t(order[rank])) : 0;
        }
        a = b;
    }
    for (size_t i = 0; i < n; ++i) {
        earliest = std::min<int64_t>(earliest, samples[i].composition_offset);
        latest = std::max<int64_t>(latest, samples[i].composition_offset);
    }
    const int64_t delay = -earliest;
    if ((latest + delay) * int64_t(duration) > INT32_MAX) {
        for (size_t i = 0; i < n; ++i) samples[i].composition_offset = 0;
        return 0;
    }
    for (size_t i = 0; i < n; ++i)
        samples[i].composition_offset = int32_t((samples[i].composition_offset + delay) * int64_t(duration));
    return uint64_t(delay) * duration;
}

}  // namespace morvex
