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

RbspFront rbsp_front(ByteSpan nal_unit, size_t header_bytes) {
    RbspFront out;
    unsigned zeros = 0;
    for (size_t i = header_bytes; i < nal_unit.size() && out.size < out.bytes.size(); ++i) {
        const uint8_t b = nal_unit[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        out.bytes[out.size++] = b;
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

}  // namespace morvex::annexb
