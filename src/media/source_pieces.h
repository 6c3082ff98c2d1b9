// A stream that lies in pieces of the input, read in place: the payloads of
// the transport stream packets of one elementary stream, for example. The
// pieces count one logical stream, whose positions samples and NAL units
// are given in; nothing is gathered into a buffer of its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes.h"

namespace morvex {

struct SourcePieces {
    std::vector<ByteSpan> spans;
    std::vector<uint64_t> starts;  // logical position of each span
    uint64_t size = 0;

    // Appends `bytes`; a span that continues the last one in memory is merged.
    void add(ByteSpan bytes) {
        if (bytes.empty()) return;
        if (!spans.empty() && spans.back().data() + spans.back().size() == bytes.data()) {
            spans.back() = ByteSpan(spans.back().data(), spans.back().size() + bytes.size());
        } else {
            spans.push_back(bytes);
            starts.push_back(size);
        }
        size += bytes.size();
    }

    // The span holding logical position `pos` (< size).
    size_t piece_of(uint64_t pos) const;

    uint8_t at(uint64_t pos) const {
        const size_t k = piece_of(pos);
        return spans[k][size_t(pos - starts[k])];
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
