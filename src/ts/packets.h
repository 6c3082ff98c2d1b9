// Transport stream packets (H.222.0 2.4.3.2) as recorders store them: 188
// bytes, 192 (M2TS/BDAV: a 4-byte arrival timestamp before each packet) or
// 204 (16 bytes of Reed-Solomon parity after each). The size is recognised
// from the spacing of sync bytes; sync is declared only where several sync
// bytes follow in a row at that spacing, and re-acquired the same way after
// a loss, so a 0x47 inside a timestamp or a payload is not taken for one.
//
// The framer reads a stream that may arrive in pieces: it is given the
// bytes it has not framed yet (and whether more will come), and answers
// with the next packet, or that it needs more bytes to tell. Fed the same
// stream in any pieces, it finds the same packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "common/bytes.h"

namespace morvex {

inline constexpr size_t kTsPacketSize = 188;
inline constexpr uint8_t kTsSyncByte = 0x47;

// Stream bytes from input position `at` on; `final` when no more follow.
struct StreamBytes {
    ByteSpan bytes;
    uint64_t at = 0;
    bool final = true;

    uint64_t end() const { return at + bytes.size(); }
    const uint8_t* ptr(uint64_t pos) const { return bytes.data() + (pos - at); }
};

struct PacketFramer {
    uint64_t pos = 0;                   // input position of the next byte to frame
    std::optional<size_t> stride;       // the packet spacing while in sync
};

enum class Framed { Packet, NeedMore, End };

// The next packet's input position in `*packet`. NeedMore: the bytes given
// end before the framer can tell (never when `s.final`); End: no packet is
// left in them. `s` must hold the input from f.pos on.
Framed next_packet(PacketFramer& f, const StreamBytes& s, uint64_t* packet);

// Calls `f(packet)` with each 188-byte packet of a whole stream, in order;
// an `f` that returns a bool stops the walk by returning false.
template <typename F>
void for_each_packet(ByteSpan data, F&& f) {
    PacketFramer framer;
    const StreamBytes s{data, 0, true};
    uint64_t at = 0;
    while (next_packet(framer, s, &at) == Framed::Packet) {
        if constexpr (std::is_same_v<decltype(f(data.data())), bool>) {
            if (!f(data.data() + at)) return;
        } else {
            f(data.data() + at);
        }
    }
}

}  // namespace morvex
