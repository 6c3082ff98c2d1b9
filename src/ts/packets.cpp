#include "ts/packets.h"

#include <cstring>

namespace morvex {
namespace {

constexpr size_t kStrides[] = {188, 192, 204};
constexpr int kConfirmations = 2;  // sync bytes after the first one: three in a row

// Sync bytes at `pos` and at the next positions `stride` apart, as many as
// the data holds up to kConfirmations.
bool confirmed(ByteSpan d, size_t pos, size_t stride) {
    for (int k = 1; k <= kConfirmations; ++k) {
        const size_t q = pos + size_t(k) * stride;
        if (q >= d.size()) return true;  // the data ends: what it holds agrees
        if (d[q] != kTsSyncByte) return false;
    }
    return true;
}

}  // namespace

std::optional<PacketSync> find_packet_sync(ByteSpan d, size_t from) {
    size_t pos = from;
    while (pos < d.size() && kTsPacketSize <= d.size() - pos) {
        const void* hit = std::memchr(d.data() + pos, kTsSyncByte, d.size() - pos);
        if (hit == nullptr) return std::nullopt;
        pos = size_t(static_cast<const uint8_t*>(hit) - d.data());
        if (kTsPacketSize > d.size() - pos) return std::nullopt;
        for (size_t stride : kStrides) {
            if (!confirmed(d, pos, stride)) continue;
            // A 192-byte packet's 4-byte timestamp may hold 0x47 at the same
            // place in every packet: the sync byte is the last of the
            // candidates that close together.
            for (bool moved = true; moved && stride == 192;) {
                moved = false;
                for (size_t k = 4; k >= 1; --k)
                    if (kTsPacketSize <= d.size() - pos - k && d[pos + k] == kTsSyncByte && confirmed(d, pos + k, stride)) {
                        pos += k;
                        moved = true;
                        break;
                    }
            }
            return PacketSync{pos, stride};
        }
        ++pos;
    }
    return std::nullopt;
}

}  // namespace morvex
