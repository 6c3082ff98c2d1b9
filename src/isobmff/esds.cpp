#include "isobmff/esds.h"

#include <algorithm>

#include "common/byte_reader.h"

namespace morvex {
namespace {

// A descriptor: a tag, a length in up to four bytes of seven bits, the
// body (cut to what the bytes hold).
struct Descriptor {
    uint8_t tag = 0;
    ByteSpan body;
};

std::optional<Descriptor> read_descriptor(ByteReader& r) {
    auto tag = r.u8();
    if (!tag) return std::nullopt;
    uint32_t length = 0;
    for (int k = 0; k < 4; ++k) {
        auto b = r.u8();
        if (!b) return std::nullopt;
        length = (length << 7) | (*b & 0x7F);
        if (!(*b & 0x80)) break;
    }
    auto body = r.bytes(std::min<size_t>(length, r.remaining()));
    if (!body) return std::nullopt;
    return Descriptor{*tag, *body};
}

}  // namespace

std::optional<DecoderConfig> decoder_config(ByteSpan esds_payload) {
    if (esds_payload.size() < 4) return std::nullopt;
    ByteReader r{esds_payload.subspan(4)};  // version and flags
    auto es = read_descriptor(r);
    if (!es || es->tag != 0x03 || es->body.size() < 3) return std::nullopt;
    ByteReader e{es->body};
    e.skip(2);  // ES_ID
    const uint8_t flags = e.u8().value_or(0);
    if (flags & 0x80) e.skip(2);  // dependsOn_ES_ID
    if (flags & 0x40) e.skip(size_t(e.u8().value_or(0)));  // URL
    if (flags & 0x20) e.skip(2);  // OCR_ES_ID
    while (auto d = read_descriptor(e)) {
        if (d->tag != 0x04 || d->body.size() < 13) continue;
        DecoderConfig c;
        c.object_type = d->body[0];
        ByteReader inner{d->body.subspan(13)};
        while (auto s = read_descriptor(inner))
            if (s->tag == 0x05) c.specific = s->body;
        return c;
    }
    return std::nullopt;
}

}  // namespace morvex
