#include "mp4_parser/box.h"

#include <string>

namespace morvex {
namespace {

constexpr uint32_t kMdat = fourcc_value("mdat");
constexpr uint32_t kFtyp = fourcc_value("ftyp");
constexpr uint32_t kMoov = fourcc_value("moov");

struct Header {
    uint32_t type;
    uint64_t size;  // resolved
    uint8_t header_size;
    uint64_t payload_len;
};

// Reads one box header at the cursor. `fits` is false when the payload
// overruns the range; size 0 runs to the end of the range.
Result<Header> read_header(Mp4Reader& r, size_t start) {
    const uint64_t n = r.in.data.size();
    auto size32 = r.read_u32();
    if (!size32) return std::unexpected(size32.error());
    auto type = r.read_u32();
    if (!type) return std::unexpected(type.error());
    Header h{*type, *size32, 8, 0};
    if (*size32 == 1) {
        auto large = r.read_u64();
        if (!large) return std::unexpected(large.error());
        h.size = *large;
        h.header_size = 16;
    } else if (*size32 == 0) {
        h.size = n - start;
    }
    h.payload_len = h.size > h.header_size ? h.size - h.header_size : 0;
    return h;
}

}  // namespace

Result<uint32_t> Mp4Reader::read_u32() {
    if (auto v = in.u32()) return *v;
    return fail(ErrorKind::UnexpectedEof, "Not enough data");
}

Result<uint64_t> Mp4Reader::read_u64() {
    if (auto v = in.u64()) return *v;
    return fail(ErrorKind::UnexpectedEof, "Not enough data");
}

Result<Mp4File> parse_mp4(ByteSpan data) {
    Mp4File file;
    Mp4Reader r{ByteReader{data}};
    while (r.in.remaining() >= 8) {
        const size_t start = r.in.pos;
        auto h = read_header(r, start);
        if (!h) return std::unexpected(h.error());
        if (h->payload_len > r.in.remaining())
            return fail(ErrorKind::InvalidData, "Box size " + std::to_string(h->size) + " exceeds available data");
        const size_t payload_at = r.in.pos;
        r.in.pos += size_t(h->payload_len);
        if (h->type == kMdat) {
            MdatInfo info{start, h->size, payload_at, h->payload_len};
            if (!file.mdat) file.mdat = info;
            file.box_infos.emplace_back(info);
            continue;
        }
        Mp4Box b{h->type, start, h->size, h->header_size,
                 Bytes(data.begin() + payload_at, data.begin() + r.in.pos)};
        if (h->type == kFtyp) file.ftyp = b;
        if (h->type == kMoov) file.moov = b;
        file.boxes.push_back(b);
        file.box_infos.emplace_back(std::move(b));
    }
    return file;
}

Result<std::vector<Mp4Box>> parse_container_box(ByteSpan payload) {
    std::vector<Mp4Box> children;
    Mp4Reader r{ByteReader{payload}};
    while (r.in.remaining() >= 8) {
        const size_t start = r.in.pos;
        auto h = read_header(r, start);
        if (!h) return std::unexpected(h.error());
        // A child that overruns its parent ends the list without an error.
        if (h->payload_len > r.in.remaining()) break;
        const size_t payload_at = r.in.pos;
        r.in.pos += size_t(h->payload_len);
        children.push_back(Mp4Box{h->type, start, h->size, h->header_size,
                                  Bytes(payload.begin() + payload_at, payload.begin() + r.in.pos)});
    }
    return children;
}

void write_box_header(Bytes& out, uint32_t box_type, uint64_t payload_len, bool large) {
    ByteWriter w{out};
    if (!large && box_header_size(payload_len) == 8) {
        w.u32(uint32_t(payload_len + 8));
        w.fourcc(box_type);
    } else {
        w.u32(1);
        w.fourcc(box_type);
        w.u64(payload_len + 16);
    }
}

void write_box_as(Bytes& out, uint32_t box_type, ByteSpan payload, bool large) {
    write_box_header(out, box_type, payload.size(), large);
    out.insert(out.end(), payload.begin(), payload.end());
}

void write_box(Bytes& out, uint32_t box_type, ByteSpan payload) { write_box_as(out, box_type, payload, false); }

}  // namespace morvex
