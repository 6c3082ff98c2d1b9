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
    const uint8_t* window = nullptr;  // the input's bytes from position window_at on
    uint64_t window_at = 0;
    std::vector<uint64_t> offsets;      // input position of each piece
    std::vector<uint8_t> lengths;
    std::vector<uint64_t> checkpoints;  // logical start of every 64th piece
    size_t head = 0;                    // pieces dropped from the front (a multiple of 64)
    uint64_t erased = 0;                // pieces given back before offsets[0]
    uint64_t size = 0;                  // the logical end

    static constexpr size_t kCheckpointEvery = 64;

    // Appends `bytes`, which lie at input position `at` (inside the window).
    void add(ByteSpan bytes, uint64_t at);
    // The same for a whole-file reader, whose window is the input itself:
    // the position is found from the pointers.
    void add(ByteSpan bytes) { add(bytes, uint64_t(bytes.data() - window)); }

    size_t count() const { return offsets.size() - head; }
    // Logical position of the first piece kept.
    uint64_t begin() const { return head < offsets.size() ? checkpoints[head / kCheckpointEvery] : size; }

    template <typename F>
    void for_each_piece(F&& f) const {
        for (size_t k = head; k < offsets.size(); ++k) f(ByteSpan(window + (offsets[k] - window_at), lengths[k]));
    }

    // The piece holding logical position `pos` (begin() <= pos < size), and
    // where that piece starts.
    size_t piece_of(uint64_t pos, uint64_t& piece_start) const;

    uint8_t at(uint64_t pos) const {
        uint64_t start = 0;
        const size_t k = piece_of(pos, start);
        return window[offsets[k] - window_at + (pos - start)];
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

    // Drops the pieces wholly before logical position `pos`, in blocks of
    // 64; the storage is given back once half of it is dropped.
    void drop_before(uint64_t pos);
    // Input position of the first byte a kept piece holds (the end of the
    // input seen when none is kept).
    uint64_t first_input_position(uint64_t otherwise) const { return head < offsets.size() ? offsets[head] : otherwise; }
};

}  // namespace morvex
