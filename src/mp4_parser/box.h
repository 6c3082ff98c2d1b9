// ISO/IEC 14496-12 box layer: the box header (32-bit size, type, optional
// 64-bit largesize), a walker over a whole file and one over a container
// payload, and the serialiser of one box.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

// Big-endian cursor whose reads report "Not enough data" as an error value.
struct Mp4Reader {
    ByteReader in;

    Result<uint32_t> read_u32();
    Result<uint64_t> read_u64();
};

struct Mp4Box {
    uint32_t box_type = 0;
    uint64_t offset = 0;  // first header byte, relative to the walked range
    uint64_t size = 0;    // resolved size, header included
    uint8_t header_size = 8;  // 8, or 16 when the size was stored as largesize
    Bytes data;               // copy of the payload
};

// Position of an mdat payload in the parsed input; no copy.
struct MdatInfo {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t data_offset = 0;
    uint64_t data_len = 0;

    uint64_t header_size() const { return data_offset - offset; }
};

using BoxInfo = std::variant<Mp4Box, MdatInfo>;

struct Mp4File {
    std::optional<MdatInfo> mdat;  // the first top-level mdat
    std::vector<Mp4Box> boxes;     // top-level boxes except mdat, in file order
    std::vector<BoxInfo> box_infos;
    std::optional<Mp4Box> ftyp;  // the last top-level ftyp
    std::optional<Mp4Box> moov;  // the last top-level moov
};

Result<Mp4File> parse_mp4(ByteSpan data);
Result<std::vector<Mp4Box>> parse_container_box(ByteSpan payload);

// Header length write_box uses for a payload of this length: the 32-bit size
// form while the total fits in 32 bits, else the 16-byte largesize form.
constexpr uint64_t box_header_size(uint64_t payload_len) { return payload_len < 0xFFFFFFF8u ? 8 : 16; }

void write_box(Bytes& out, uint32_t box_type, ByteSpan payload);
// The header alone, for a payload the caller appends itself.
void write_box_header(Bytes& out, uint32_t box_type, uint64_t payload_len, bool large = false);
// Same, but keeps the 16-byte header when `large` is set, so that a rewrite
// in place leaves every later byte where it was.
void write_box_as(Bytes& out, uint32_t box_type, ByteSpan payload, bool large);

inline const Mp4Box* first_child(const std::vector<Mp4Box>& boxes, uint32_t type) {
    for (const auto& b : boxes)
        if (b.box_type == type) return &b;
    return nullptr;
}

}  // namespace morvex
