// A stream that lies in pieces of the input, read in place: the payloads of
// the transport stream packets of one elementary stream, for example. The
// pieces make one logical stream, whose positions samples and NAL units are
// given in; nothing is gathered into a buffer of its own.
//
// Each piece records where it lies in the input, counted from the input's
// first byte. The input is reached through a window: a pointer to the
// input's bytes from some position on. A whole-file reader's window is the
// whole input; a live reader keeps only the bytes still needed, moves its
// window as it drops the rest, and drops the pieces before the first
// logical position it still needs.
//
// The list is kept small beside the stream, since a whole-file reader holds
// it for all of a large input: a piece is coded in a byte stream as the gap
// in the input since the end of the piece before (a variable-length
// number, one byte for the header of the next packet, two for a packet of
// another stream in between), then its length (long spans are split into
// pieces of at most 255 bytes). Some three bytes per 184-byte payload. Every
// 64th piece starts a block whose logical start, input position and place
// in the code are kept, to find a position quickly.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "common/bytes.h"

namespace morvex {

struct SourcePieces {
    const uint8_t* window = nullptr;  // the input's bytes from position window_at on
    uint64_t window_at = 0;
    uint64_t size = 0;  // the logical end

    static constexpr uint64_t kBlock = 64;  // pieces a block holds

    // A piece: its number (counted from the stream's first), logical start,
    // input position, and the place of its length byte in the code.
    struct Cursor {
        uint64_t piece = 0;
        uint64_t logical = 0;
        uint64_t input = 0;
        uint64_t at = 0;
    };

    // Appends `bytes`, which lie at input position `at` (inside the window).
    void add(ByteSpan bytes, uint64_t at);
    // The same for a whole-file reader, whose window is the input itself:
    // the position is found from the pointers.
    void add(ByteSpan bytes) { add(bytes, uint64_t(bytes.data() - window)); }

    // Appends the pieces of `other` from its logical position `from` on
    // (the same window).
    void add_from(const SourcePieces& other, uint64_t from);

    // Room for the pieces of an input of `bytes` (the pages are touched only
    // as pieces come).
    void reserve_for(uint64_t bytes);

    bool empty() const { return kept_ == pieces_; }
    // Logical position of the first piece kept.
    uint64_t begin() const { return empty() ? size : blocks_.front().logical; }

    // The piece holding logical position `pos` (begin() <= pos < size).
    Cursor find(uint64_t pos) const;
    // The first piece kept (when not empty()).
    Cursor first() const;
    // Moves to the next piece; false at the last one (the cursor stays).
    bool next(Cursor& c) const;
    // Whether the cursor still names a kept piece.
    bool holds(const Cursor& c) const { return c.piece >= kept_ && c.piece < pieces_; }
    uint8_t length(const Cursor& c) const { return code_[size_t(c.at - erased_)]; }
    const uint8_t* data(const Cursor& c) const { return window + (c.input - window_at); }

    template <typename F>
    void for_each_piece(F&& f) const {
        if (empty()) return;
        Cursor c = first();
        do f(ByteSpan(data(c), length(c)));
        while (next(c));
    }

    uint8_t at(uint64_t pos) const {
        const Cursor c = find(pos);
        return data(c)[pos - c.logical];
    }

    // Copies [pos, pos + n) to `out`; the part outside the pieces kept is
    // zeroed.
    void copy(uint64_t pos, size_t n, uint8_t* out) const;

    Bytes gather(uint64_t pos, size_t n) const {
        Bytes b;
        b.resize(n);
        copy(pos, n, b.data());
        return b;
    }

    // Drops the pieces wholly before logical position `pos`, a block at a
    // time; the storage is given back once half of it is dropped.
    void drop_before(uint64_t pos);
    // Input position of the first byte a kept piece holds (the end of the
    // input seen when none is kept).
    uint64_t first_input_position(uint64_t otherwise) const { return empty() ? otherwise : blocks_.front().input; }

private:
    struct Block {
        uint64_t logical = 0;
        uint64_t input = 0;
        uint64_t at = 0;  // its first piece's length byte in the code
    };
    std::vector<uint8_t> code_;  // per piece: gap (LEB128), then length
    std::vector<Block> blocks_;  // from the first kept piece's block on
    uint64_t pieces_ = 0;        // pieces added in all
    uint64_t kept_ = 0;          // the number of the first piece kept (a block's first)
    // The piece find() gave last: samples are mostly read in order, so the
    // next one is looked for from there rather than from its block's start.
    mutable std::optional<Cursor> found_;
    uint64_t erased_ = 0;        // code bytes given back before code_[0]
    uint64_t last_end_ = 0;      // input position after the last piece
};

}  // namespace morvex
