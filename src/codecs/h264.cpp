#include "codecs/h264.h"

#include <algorithm>
#include <cstring>

namespace morvex::h264 {
namespace {

// Byte access by logical position over the pieces.
struct Stream {
    std::span<const ByteSpan> pieces;
    std::vector<uint64_t> starts;
    uint64_t size = 0;

    uint8_t at(uint64_t pos) const {
        const size_t k = size_t(std::upper_bound(starts.begin(), starts.end(), pos) - starts.begin()) - 1;
        return pieces[k][size_t(pos - starts[k])];
    }
};

// Where each 00 00 01 begins, across piece boundaries.
std::vector<uint64_t> three_byte_codes(std::span<const ByteSpan> pieces) {
    std::vector<uint64_t> codes;
    uint64_t base = 0;
    uint8_t last = 1, before_last = 1;  // the two bytes before the current piece
    for (ByteSpan piece : pieces) {
        const uint8_t* d = piece.data();
        const size_t n = piece.size();
        size_t j = 0;
        while (j < n) {
            const void* hit = std::memchr(d + j, 1, n - j);
            if (hit == nullptr) break;
            const size_t q = size_t(static_cast<const uint8_t*>(hit) - d);
            const uint8_t b1 = q >= 1 ? d[q - 1] : last;
            const uint8_t b2 = q >= 2 ? d[q - 2] : q == 1 ? last : before_last;
            if (b1 == 0 && b2 == 0 && base + q >= 2) codes.push_back(base + q - 2);
            j = q + 1;
        }
        if (n >= 2) {
            before_last = d[n - 2];
            last = d[n - 1];
        } else if (n == 1) {
            before_last = last;
            last = d[0];
        }
        base += n;
    }
    return codes;
}

}  // namespace

std::vector<Nal> split_nal_units(std::span<const ByteSpan> pieces) {
    Stream b{pieces, {}, 0};
    b.starts.reserve(pieces.size());
    for (ByteSpan p : pieces) {
        b.starts.push_back(b.size);
        b.size += p.size();
    }
    const std::vector<uint64_t> codes = three_byte_codes(pieces);
    std::vector<Nal> nals;
    uint64_t from = 0;  // where the search for the next unit begins
    size_t k = 0;
    while (k < codes.size()) {
        const uint64_t c = codes[k];
        // A zero byte before 00 00 01 makes it the four-byte form.
        const uint64_t start = (c > from && b.at(c - 1) == 0) ? c - 1 : c;
        const uint64_t header = c + 3;
        if (header >= b.size) break;
        // The unit ends where the next start code begins.
        size_t next = k + 1;
        while (next < codes.size() && codes[next] < header + 1) ++next;
        uint64_t end = b.size;
        if (next < codes.size()) {
            const uint64_t nx = codes[next];
            end = (nx >= header + 2 && b.at(nx - 1) == 0) ? nx - 1 : nx;
        }
        nals.push_back(Nal{start, header, end, b.at(header), header + 1 < end ? b.at(header + 1) : uint8_t(0)});
        if (end >= b.size) break;
        from = end;
        k = next;
    }
    return nals;
}

}  // namespace morvex::h264
