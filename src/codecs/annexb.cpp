#include "codecs/annexb.h"

#include <cstring>

namespace morvex::annexb {
namespace {

// First p >= from with b[p..p+2] = 00 00 01, or n.
size_t find_three_byte_code(ByteSpan b, size_t from) {
    const size_t n = b.size();
    const uint8_t* d = b.data();
    size_t p = from;
    while (n >= 3 && p + 2 < n) {
        // Look for the 01 byte, then check the two zeros before it.
        const void* one = std::memchr(d + p + 2, 1, n - (p + 2));
        if (one == nullptr) return n;
        size_t q = size_t(static_cast<const uint8_t*>(one) - d);  // position of the 01
        if (d[q - 1] == 0 && d[q - 2] == 0) return q - 2;
        p = q - 1;
    }
    return n;
}

}  // namespace

std::optional<Nal> next_nal(ByteSpan b, size_t from) {
    const size_t n = b.size();
    size_t p = find_three_byte_code(b, from);
    if (p >= n) return std::nullopt;
    // A zero byte before 00 00 01 makes it the four-byte form.
    size_t start = (p > from && b[p - 1] == 0) ? p - 1 : p;
    size_t header = start + start_code_at(b, start);
    if (header >= n) return std::nullopt;

    // The unit ends where the next start code begins (a NAL unit never holds
    // 00 00 01), also when nothing follows that start code.
    size_t end = n;
    size_t next = find_three_byte_code(b, header + 1);
    if (next < n) end = (next >= header + 2 && b[next - 1] == 0) ? next - 1 : next;
    return Nal{start, header, end};
}

std::vector<uint8_t> unescape_rbsp(ByteSpan payload) {
    std::vector<uint8_t> out;
    out.reserve(payload.size());
    unsigned zeros = 0;
    for (uint8_t b : payload) {
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

}  // namespace morvex::annexb
