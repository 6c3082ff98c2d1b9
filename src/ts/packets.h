// Transport stream packets (H.222.0 2.4.3.2) as recorders store them: 188
// bytes, 192 (M2TS/BDAV: a 4-byte arrival timestamp before each packet) or
// 204 (16 bytes of Reed-Solomon parity after each). The size is recognised
// from the spacing of sync bytes; sync is declared only where several sync
// bytes follow in a row at that spacing, and re-acquired the same way after
// a loss, so a 0x47 inside a timestamp or a payload is not taken for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "common/bytes.h"

namespace morvex {

inline constexpr size_t kTsPacketSize = 188;
inline constexpr uint8_t kTsSyncByte = 0x47;

struct PacketSync {
    size_t position = 0;  // the sync byte of a packet
    size_t stride = kTsPacketSize;
};

// The first packet at or after `from` that several sync bytes confirm.
std::optional<PacketSync> find_packet_sync(ByteSpan data, size_t from);

// Calls `f(packet)` with each 188-byte packet, in order; an `f` that returns
// a bool stops the walk by returning false.
template <typename F>
void for_each_packet(ByteSpan data, F&& f) {
    auto sync = find_packet_sync(data, 0);
    while (sync) {
        size_t i = sync->position;
        const size_t stride = sync->stride;
        while (kTsPacketSize <= data.size() - i && data[i] == kTsSyncByte) {
            // Where the run of packets breaks after this one, a packet that
            // several sync bytes confirm may begin inside it: this one was
            // garbage that began with 0x47.
            if (stride < data.size() - i && data[i + stride] != kTsSyncByte) {
                auto inside = find_packet_sync(data, i + 1);
                if (inside && inside->position < i + stride) break;
            }
            if constexpr (std::is_same_v<decltype(f(data.data())), bool>) {
                if (!f(data.data() + i)) return;
            } else {
                f(data.data() + i);
            }
            if (stride > data.size() - i) return;
            i += stride;
        }
        if (kTsPacketSize > data.size() - i) return;
        sync = find_packet_sync(data, i + 1);  // lost: find it again
    }
}

}  // namespace morvex
