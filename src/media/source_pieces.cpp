#include "media/source_pieces.h"

#include <algorithm>

namespace morvex {

void SourcePieces::add(ByteSpan bytes, uint64_t at) {
    size_t left = bytes.size();
    while (left > 0) {
        // A piece that continues the last one in the input extends it.
        if (pieces_ > kept_ && last_end_ == at && code_.back() < 255) {
            const size_t more = std::min<size_t>(left, 255 - code_.back());
            code_.back() = uint8_t(code_.back() + more);
            size += more;
            at += more;
            left -= more;
            last_end_ = at;
            continue;
        }
        const size_t n = std::min<size_t>(left, 255);
        // The gap since the last piece (none before a block's first piece,
        // whose position the block holds).
        uint64_t gap = pieces_ % kBlock == 0 || at < last_end_ ? 0 : at - last_end_;
        if (pieces_ % kBlock == 0) {
            blocks_.push_back(Block{size, at, erased_ + code_.size() + 1});
        } else if (at < last_end_) {
            // Pieces run forward in the input; one that does not begins a
            // block of its own, padded with empty pieces.
            while (pieces_ % kBlock != 0) {
                code_.push_back(0);
                code_.push_back(0);
                ++pieces_;
            }
            blocks_.push_back(Block{size, at, erased_ + code_.size() + 1});
        }
        do {
            const uint8_t low = uint8_t(gap & 0x7F);
            gap >>= 7;
            code_.push_back(gap ? uint8_t(low | 0x80) : low);
        } while (gap);
        code_.push_back(uint8_t(n));
        ++pieces_;
        size += n;
        at += n;
        left -= n;
        last_end_ = at;
    }
}

void SourcePieces::add_from(const SourcePieces& other, uint64_t from) {
    if (other.empty() || from >= other.size) return;
    Cursor c = other.find(std::max(from, other.begin()));
    size_t within = size_t(std::max(from, c.logical) - c.logical);
    do {
        if (within < other.length(c)) add(ByteSpan(other.data(c) + within, other.length(c) - within));
        within = 0;
    } while (other.next(c));
}

void SourcePieces::reserve_for(uint64_t bytes) {
    // A 188-byte packet gives a piece of two or three code bytes.
    code_.reserve(size_t(std::min<uint64_t>(bytes / 188 * 3, SIZE_MAX / 2)));
    blocks_.reserve(size_t(std::min<uint64_t>(bytes / 188 / kBlock + 1, SIZE_MAX / 2 / sizeof(Block))));
}

SourcePieces::Cursor SourcePieces::first() const {
    const Block& b = blocks_.front();
    return Cursor{kept_, b.logical, b.input, b.at};
}

bool SourcePieces::next(Cursor& c) const {
    if (c.piece + 1 >= pieces_) return false;
    size_t p = size_t(c.at - erased_);
    const uint64_t end = c.input + code_[p];
    ++p;
    uint64_t gap = 0;
    for (unsigned shift = 0;; shift += 7) {
        const uint8_t b = code_[p++];
        if (shift < 64) gap |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) break;
    }
    c.logical += code_[size_t(c.at - erased_)];
    ++c.piece;
    c.at = erased_ + p;
    // A block's first piece has its position from the block (an empty
    // piece before it may pad the block before).
    if (c.piece % kBlock == 0) {
        const Block& b = blocks_[size_t((c.piece - kept_) / kBlock)];
        c.input = b.input;
    } else {
        c.input = end + gap;
    }
    return true;
}

SourcePieces::Cursor SourcePieces::find(uint64_t pos) const {
    if (found_ && holds(*found_) && found_->logical <= pos) {
        const size_t block = size_t((found_->piece - kept_) / kBlock);
        if (block + 1 >= blocks_.size() || pos < blocks_[block + 1].logical) {
            Cursor c = *found_;
            while (c.logical + length(c) <= pos && next(c)) {
            }
            found_ = c;
            return c;
        }
    }
    // The last block starting at or before pos.
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                               [](uint64_t p, const Block& b) { return p < b.logical; });
    if (it != blocks_.begin()) --it;
    // Blocks of empty pieces share a logical start: the last of them.
    Cursor c{kept_ + uint64_t(it - blocks_.begin()) * kBlock, it->logical, it->input, it->at};
    while (c.logical + length(c) <= pos && next(c)) {
    }
    found_ = c;
    return c;
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
    Cursor c = find(pos);
    size_t within = size_t(pos - c.logical);
    for (;;) {
        const size_t take = std::min<size_t>(n, length(c) - within);
        std::memcpy(out, data(c) + within, take);
        out += take;
        n -= take;
        within = 0;
        if (n == 0 || !next(c)) break;
    }
    if (n > 0) std::memset(out, 0, n);
}

void SourcePieces::drop_before(uint64_t pos) {
    size_t block = 0;
    // A block is dropped when the next one starts at or before `pos`.
    while (block + 1 < blocks_.size() && blocks_[block + 1].logical <= pos) ++block;
    if (block == 0) return;
    kept_ += block * kBlock;
    // The code before the kept block's first length byte (its gap is not
    // read again) and the blocks before it.
    const size_t from = size_t(blocks_[block].at - erased_);
    blocks_.erase(blocks_.begin(), blocks_.begin() + ptrdiff_t(block));
    if (from * 2 >= code_.size()) {
        code_.erase(code_.begin(), code_.begin() + ptrdiff_t(from));
        erased_ += from;
    }
}

}  // namespace morvex
