// Boxes of the ISO base media file format (ISO/IEC 14496-12 4.2), viewed in
// place: no box is copied to be read.
//
// The header is a 32-bit size counting the whole box and the type; a size
// of 1 means a 64-bit largesize follows the type, and a size of 0 means the
// box runs to the end of its enclosing range (the file, for a top-level
// box). The rules every reader here follows:
//  - fewer than 8 bytes left in a range are trailing bytes, not a box;
//  - a largesize cut short is "Not enough data";
//  - a size below the header's own length is "Invalid box size";
//  - a top-level box running past the end of the file is "Box size N
//    exceeds available data";
//  - a child running past the end of its parent ends the parent's list of
//    children (the rest of the parent is not read).
// The segment rebaser has a contract of its own (compact headers only, a
// box cut off at the end of a segment left out), and the recovery of a
// recording cut short reads its last box as far as it goes; `BoxRules`
// carries these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/bytes.h"
#include "common/error.h"

namespace morvex {

struct Box {
    uint32_t type = 0;
    size_t offset = 0;        // first header byte, as a position in the file
    uint8_t header_size = 8;  // 8, or 16 with a largesize
    ByteSpan bytes;           // the whole box, header included
    bool cut = false;         // under Overrun::Clip: the range ends before the box does

    ByteSpan payload() const { return bytes.subspan(header_size); }
    size_t size() const { return bytes.size(); }
    size_t payload_offset() const { return offset + header_size; }
    size_t end() const { return offset + bytes.size(); }
    bool large() const { return header_size == 16; }
    // A reader clipped to the payload.
    ByteReader reader() const { return ByteReader{payload()}; }
};

enum class Overrun {
    Error,    // "Box size N exceeds available data"
    EndList,  // the box and everything after it in the range are not read
    Clip,     // the box is read up to the end of the range, and marked cut
};

struct BoxRules {
    Overrun overrun = Overrun::EndList;
    bool compact_only = false;  // sizes 0 and 1 are "Invalid box size" too
};

// The box at `pos` of `range`, whose first byte is file position `base`.
// Empty when fewer than 8 bytes are left, or when the box overruns the range
// under Overrun::EndList.
Result<std::optional<Box>> read_box(ByteSpan range, size_t base, size_t pos, BoxRules rules);

// The top-level boxes of a whole file (overrun is an error).
Result<std::vector<Box>> top_level_boxes(ByteSpan file);

// The top-level boxes of a file that may end inside its last box (a
// recording cut short): that box is read as far as the file goes and
// marked cut. Its children are read as those of any box, so a child cut
// short ends the list. The boxes end at the first header that cannot be
// read (a size below its header's, a largesize cut short): what follows
// is not a box.
std::vector<Box> top_level_boxes_of_cut_file(ByteSpan file);

// The children of a container, which begin `skip` bytes into its payload
// (after the fields of a full box or a sample entry).
Result<std::vector<Box>> child_boxes(const Box& parent, size_t skip = 0);

// The first child of a type; absent is not an error, malformed is.
Result<std::optional<Box>> find_child(const Box& parent, uint32_t type, size_t skip = 0);

// The first box along a path of child types below `root`.
Result<std::optional<Box>> find_path(const Box& root, std::initializer_list<uint32_t> path);

// The whole file as a pseudo-box whose payload is the file, so that
// top-level boxes can be found like children (with overrun an error).
Box file_box(ByteSpan file);

// Appends a copy of `b`. A size of 0 (to the end of its range) is written
// out as the box's real size, since the copy may not end its new range.
void copy_box(ByteWriter& w, const Box& b);

inline const Box* first_of(const std::vector<Box>& boxes, uint32_t type) {
    for (const auto& b : boxes)
        if (b.type == type) return &b;
    return nullptr;
}

}  // namespace morvex
