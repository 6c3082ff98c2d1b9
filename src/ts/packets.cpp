#include "ts/packets.h"

#include <cstring>

namespace morvex {
namespace {

constexpr size_t kStrides[] = {188, 192, 204};
constexpr int kConfirmations = 2;  // sync bytes after the first one: three in a row

enum class Check { Yes, No, NeedMore };

// Sync bytes at `pos` and at the next positions `stride` apart, as many as
// the stream holds up to kConfirmations: where a whole stream ends, what it
// holds agrees; where more may come, the framer waits for it.
Check confirmed(const StreamBytes& s, uint64_t pos, size_t stride) {
    for (int k = 1; k <= kConfirmations; ++k) {
        const uint64_t q = pos + uint64_t(k) * stride;
        if (q >= s.end()) return s.final ? Check::Yes : Check::NeedMore;
        if (*s.ptr(q) != kTsSyncByte) return Check::No;
    }
    return Check::Yes;
}

struct Sync {
    Check found = Check::No;
    uint64_t pos = 0;
    size_t stride = kTsPacketSize;
};

// The first packet at or after `from`, and before `limit`, that several sync
// bytes confirm. NeedMore names the first candidate that cannot be told yet.
Sync find_sync(const StreamBytes& s, uint64_t from, uint64_t limit) {
    uint64_t pos = from;
    while (pos < limit && pos < s.end()) {
        const void* hit = std::memchr(s.ptr(pos), kTsSyncByte, size_t(s.end() - pos));
        if (hit == nullptr) return Sync{};
        pos = s.at + uint64_t(static_cast<const uint8_t*>(hit) - s.bytes.data());
        if (pos >= limit) return Sync{};
        if (kTsPacketSize > s.end() - pos) return s.final ? Sync{} : Sync{Check::NeedMore, pos};
        const uint64_t candidate = pos;
        for (size_t stride : kStrides) {
            const Check c = confirmed(s, pos, stride);
            if (c == Check::NeedMore) return Sync{Check::NeedMore, pos};
            if (c == Check::No) continue;
            // A 192-byte packet's 4-byte timestamp may hold 0x47 at the same
            // place in every packet: the sync byte is the last of the
            // candidates that close together.
            for (bool moved = true; moved && stride == 192;) {
                moved = false;
                for (uint64_t k = 4; k >= 1; --k) {
                    if (kTsPacketSize > s.end() - pos - k) {
                        if (!s.final) return Sync{Check::NeedMore, candidate};
                        continue;
                    }
                    if (*s.ptr(pos + k) != kTsSyncByte) continue;
                    const Check inner = confirmed(s, pos + k, stride);
                    if (inner == Check::NeedMore) return Sync{Check::NeedMore, candidate};
                    if (inner == Check::Yes) {
                        pos += k;
                        moved = true;
                        break;
                    }
                }
            }
            return Sync{Check::Yes, pos, stride};
        }
        ++pos;
    }
    return Sync{};
}

}  // namespace

Framed next_packet(PacketFramer& f, const StreamBytes& s, uint64_t* packet) {
    for (;;) {
        if (!f.stride) {
            const Sync sync = find_sync(s, f.pos, UINT64_MAX);
            if (sync.found == Check::NeedMore) {
                f.pos = sync.pos;  // nothing before it can start a packet
                return Framed::NeedMore;
            }
            if (sync.found == Check::No) {
                f.pos = s.end();  // no sync byte is left in what came
                return s.final ? Framed::End : Framed::NeedMore;
            }
            f.pos = sync.pos;
            f.stride = sync.stride;
        }
        const uint64_t i = f.pos;
        const size_t stride = *f.stride;
        if (i >= s.end() || kTsPacketSize > s.end() - i) return s.final ? Framed::End : Framed::NeedMore;
        if (*s.ptr(i) != kTsSyncByte) {
            f.stride.reset();  // lost: find it again after this byte
            f.pos = i + 1;
            continue;
        }
        // Where the run of packets breaks after this one, a packet that
        // several sync bytes confirm may begin inside it: this one was
        // garbage that began with 0x47.
        if (i + stride >= s.end()) {
            if (!s.final) return Framed::NeedMore;
        } else if (*s.ptr(i + stride) != kTsSyncByte) {
            const Sync inside = find_sync(s, i + 1, i + stride);
            if (inside.found == Check::NeedMore) return Framed::NeedMore;
            if (inside.found == Check::Yes && inside.pos < i + stride) {
                f.stride.reset();
                f.pos = i + 1;
                continue;
            }
        }
        *packet = i;
        f.pos = i + stride;
        return Framed::Packet;
    }
}

}  // namespace morvex
