#include "media/source_pieces.h"

#include <algorithm>

namespace morvex {

void SourcePieces::add(ByteSpan bytes) {
    if (bytes.empty()) return;
    if (base == nullptr) base = bytes.data();
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const size_t n = std::min<size_t>(left, 255);
        if (offsets.size() % kCheckpointEvery == 0) checkpoints.push_back(size);
        offsets.push_back(uint64_t(p - base));
        lengths.push_back(uint8_t(n));
        size += n;
        p += n;
        left -= n;
    }
}

size_t SourcePieces::piece_of(uint64_t pos, uint64_t& piece_start) const {
    const size_t c = size_t(std::upper_bound(checkpoints.begin(), checkpoints.end(), pos) - checkpoints.begin()) - 1;
    size_t k = c * kCheckpointEvery;
    uint64_t start = checkpoints[c];
    while (k + 1 < offsets.size() && start + lengths[k] <= pos) start += lengths[k++];
    piece_start = start;
    return k;
}

void SourcePieces::copy(uint64_t pos, size_t n, uint8_t* out) const {
    if (n == 0) return;
    if (pos >= size) {
        std::memset(out, 0, n);
        return;
    }
    uint64_t start = 0;
    size_t k = piece_of(pos, start);
    size_t within = size_t(pos - start);
    while (n > 0 && k < offsets.size()) {
        const size_t take = std::min<size_t>(n, lengths[k] - within);
        std::memcpy(out, base + offsets[k] + within, take);
        out += take;
        n -= take;
        within = 0;
        ++k;
    }
    if (n > 0) std::memset(out, 0, n);
}

}  // namespace morvex
