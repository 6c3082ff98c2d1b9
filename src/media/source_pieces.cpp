#include "media/source_pieces.h"

#include <algorithm>

namespace morvex {

size_t SourcePieces::piece_of(uint64_t pos) const {
    auto it = std::upper_bound(starts.begin(), starts.end(), pos);
    return size_t(it - starts.begin()) - 1;
}

void SourcePieces::copy(uint64_t pos, size_t n, uint8_t* out) const {
    if (n == 0) return;
    if (pos >= size) {
        std::memset(out, 0, n);
        return;
    }
    size_t k = piece_of(pos);
    size_t within = size_t(pos - starts[k]);
    while (n > 0 && k < spans.size()) {
        const size_t take = std::min(n, spans[k].size() - within);
        std::memcpy(out, spans[k].data() + within, take);
        out += take;
        n -= take;
        within = 0;
        ++k;
    }
    if (n > 0) std::memset(out, 0, n);
}

}  // namespace morvex
