// A stream that lies in pieces of the input, read in place: the payloads of
// the transport stream packets of one elementary stream, for example. The
// pieces count one logical stream, whose positions samples and NAL units
// are given in; nothing is gathered into a buffer of its own.
//
// A piece costs nine bytes (its place in the input and its length), so the
// list stays small beside the stream itself: long spans are split into
// pieces of at most 255 bytes, and the logical start of every 64th piece is
// kept to find a position quickly.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes.h"

namespace morvex {


struct SourcePieces {
    const uint8_t* base = nullptr;    // the input all pieces lie in
    std::vector<uint64_t> offsets;    // of each piece, from `base`
    std::vector<uint8_t> lengths;
    std::vector<uint64_t> checkpoints;  // logical start of pieces 0, 64, 128, ...
    uint64_t size = 0;

    static constexpr size_t kCheckpointEvery = 64;

    // Appends `bytes`, which lie in the same input as every other piece.
    void add(ByteSpan bytes);

    size_t count() const { return offsets.size(); }
    ByteSpan piece(size_t k) const { return ByteSpan(base + offsets[k], lengths[k]); }

    template <typename F>
    void for_each_piece(F&& f) const {
        for (size_t k = 0; k < offsets.size(); ++k) f(piece(k));
    }

    // The piece holding logical position `pos` (< size), and where that
    // piece starts.
    size_t piece_of(uint64_t pos, uint64_t& piece_start) const;

    uint8_t at(uint64_t pos) const {
        uint64_t start = 0;
        const size_t k = piece_of(pos, start);
        return base[offsets[k] + (pos - start)];
    }

    // Copies [pos, pos + n) to `out`; the part past the end is zeroed.
    void copy(uint64_t pos, size_t n, uint8_t* out) const;

    Bytes gather(uint64_t pos, size_t n) const {
        Bytes b;
        b.resize(n);
        copy(pos, n, b.data());
        return b;
    }
};

}  // namespace morvex
