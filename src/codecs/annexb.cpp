#include "codecs/annexb.h"

namespace morvex::annexb {

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

size_t unescape_rbsp(ByteSpan payload, uint8_t* out, size_t capacity) {
    size_t n = 0;
    unsigned zeros = 0;
    for (uint8_t b : payload) {
        if (n == capacity) break;
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        out[n++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return n;
}

}  // namespace morvex::annexb
