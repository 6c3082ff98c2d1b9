// The continuity_counter of a PID (H.222.0 2.4.3.3): it counts the PID's
// packets that carry a payload, modulo 16. The same value again is a
// duplicate packet, sent twice on purpose, whose copy is dropped; any other
// value is a gap (packets were lost), unless the packet's
// discontinuity_indicator announces it.
#pragma once

#include <cstdint>
#include <optional>

namespace morvex {

enum class Continuity { Next, Duplicate, Gap };

struct ContinuityCounter {
    std::optional<uint8_t> last;

    // `pkt` is a packet of the PID with a payload.
    Continuity check(const uint8_t* pkt, bool discontinuity) {
        const uint8_t cc = pkt[3] & 0x0F;
        const std::optional<uint8_t> before = last;
        last = cc;
        if (!before || discontinuity || cc == ((*before + 1) & 0x0F)) return Continuity::Next;
        return cc == *before ? Continuity::Duplicate : Continuity::Gap;
    }
};

}  // namespace morvex
