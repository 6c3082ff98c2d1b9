#include "media/source_pieces.h"

#include <algorithm>

namespace morvex {

void SourcePieces::add(ByteSpan bytes, uint64_t at) {
    size_t left = bytes.size();
    while (left > 0) {
        const size_t n = std::min<size_t>(left, 255);
        // A piece that continues the last one in the input extends it.
        if (offsets.size() > head && offsets.back() + lengths.back() == at && lengths.back() < 255) {
            const size_t more = std::min<size_t>(n, 255 - lengths.back());
            lengths.back() = uint8_t(lengths.back() + more);
            size += more;
            at += more;
            left -= more;
            continue;
        }
        if (offsets.size() % kCheckpointEvery == 0) checkpoints.push_back(size);
        offsets.push_back(at);
        lengths.push_back(uint8_t(n));
        size += n;
        at += n;
        left -= n;
    }
}

size_t SourcePieces::piece_of(uint64_t pos, uint64_t& piece_start) const {
    const auto first = checkpoints.begin() + ptrdiff_t(head / kCheckpointEvery);
    const size_t c = size_t(std::upper_bound(first, checkpoints.end(), pos) - checkpoints.begin()) - 1;
    size_t k = c * kCheckpointEvery;
    uint64_t start = checkpoints[c];
    while (k + 1 < offsets.size() && start + lengths[k] <= pos) start += lengths[k++];
    piece_start = start;
    return k;
}

void SourcePieces::copy(uint64_t pos, size_t n, uint8_t* out) const {
    if (n == 0) return;
    if (pos < begin()) {
        const size_t skip = size_t(std::min<uint64_t>(begin() - pos, n));
        std::memset(out, 0, skip);
        out += skip;
        n -= skip;
        pos += skip;
    }
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
        std::memcpy(out, window + (offsets[k] - window_at) + within, take);
        out += take;
        n -= take;
        within = 0;
        ++k;
    }
    if (n > 0) std::memset(out, 0, n);
}

void SourcePieces::drop_before(uint64_t pos) {
    size_t block = head / kCheckpointEvery;
    // A block is dropped when the next one starts at or before `pos`.
    while (block + 1 < checkpoints.size() && checkpoints[block + 1] <= pos) ++block;
    head = block * kCheckpointEvery;
    if (head > 0 && head * 2 >= offsets.size()) {
        offsets.erase(offsets.begin(), offsets.begin() + ptrdiff_t(head));
        lengths.erase(lengths.begin(), lengths.begin() + ptrdiff_t(head));
        checkpoints.erase(checkpoints.begin(), checkpoints.begin() + ptrdiff_t(head / kCheckpointEvery));
        erased += head;
        head = 0;
    }
}

}  // namespace morvex
