#include "isobmff/box.h"

#include "common/messages.h"

namespace morvex {
namespace {

// The pseudo-box of a whole file has header size 0 and this type, so that
// its children are read with the top-level rules.
constexpr uint32_t kFileType = 0;

BoxRules rules_for(const Box& parent) {
    return BoxRules{parent.type == kFileType && parent.header_size == 0 ? Overrun::Error : Overrun::EndList, false};
}

}  // namespace

Result<std::optional<Box>> read_box(ByteSpan range, size_t base, size_t pos, BoxRules rules) {
    if (pos > range.size() || range.size() - pos < 8) return std::optional<Box>{};
    ByteReader r{range, pos};
    const uint32_t size32 = *r.u32();
    const uint32_t type = *r.u32();
    uint64_t size = size32;
    uint8_t header = 8;
    if (rules.compact_only && size32 < 8) return invalid(msg::kInvalidBoxSize);
    if (size32 == 1) {
        auto large = r.u64();
        if (!large) return fail(ErrorKind::UnexpectedEof, msg::kNotEnoughData);
        size = *large;
        header = 16;
    } else if (size32 == 0) {
        size = range.size() - pos;
    }
    if (size < header) return invalid(msg::kInvalidBoxSize);
    if (size > range.size() - pos) {
        if (rules.overrun == Overrun::Error) return invalid(msg::box_exceeds_data(size));
        if (rules.overrun == Overrun::Clip)
            return std::optional<Box>{Box{type, base + pos, header, range.subspan(pos), true}};
        return std::optional<Box>{};
    }
    return std::optional<Box>{Box{type, base + pos, header, range.subspan(pos, size_t(size))}};
}

Result<std::vector<Box>> child_boxes(const Box& parent, size_t skip) {
    std::vector<Box> children;
    const ByteSpan payload = parent.payload();
    if (skip > payload.size()) return children;
    const BoxRules rules = rules_for(parent);
    size_t pos = skip;
    while (true) {
        auto box = MORVEX_TRY(read_box(payload, parent.payload_offset(), pos, rules));
        if (!box) break;
        pos += box->size();
        children.push_back(*box);
    }
    return children;
}

Result<std::vector<Box>> top_level_boxes(ByteSpan file) { return child_boxes(file_box(file)); }

std::vector<Box> top_level_boxes_of_cut_file(ByteSpan file) {
    std::vector<Box> boxes;
    size_t pos = 0;
    while (true) {
        auto box = read_box(file, 0, pos, BoxRules{Overrun::Clip, false});
        if (!box || !*box) break;
        pos += (*box)->size();
        boxes.push_back(**box);
    }
    return boxes;
}

Result<std::optional<Box>> find_child(const Box& parent, uint32_t type, size_t skip) {
    const ByteSpan payload = parent.payload();
    if (skip > payload.size()) return std::optional<Box>{};
    const BoxRules rules = rules_for(parent);
    size_t pos = skip;
    while (true) {
        auto box = MORVEX_TRY(read_box(payload, parent.payload_offset(), pos, rules));
        if (!box || box->type == type) return box;
        pos += box->size();
    }
}

Result<std::optional<Box>> find_path(const Box& root, std::initializer_list<uint32_t> path) {
    std::optional<Box> at = root;
    for (uint32_t type : path) {
        at = MORVEX_TRY(find_child(*at, type));
        if (!at) break;
    }
    return at;
}

Box file_box(ByteSpan file) { return Box{kFileType, 0, 0, file}; }

void copy_box(ByteWriter& w, const Box& b) {
    if (b.large() || load_be32(b.bytes.data()) != 0) {
        w.bytes(b.bytes);
        return;
    }
    if (b.size() <= 0xFFFFFFFFu) {
        w.u32(uint32_t(b.size()));
    } else {  // the 64-bit form, whose header is 8 bytes longer
        w.u32(1);
        w.u32(b.type);
        w.u64(b.size() + 8);
        w.bytes(b.payload());
        return;
    }
    w.bytes(b.bytes.subspan(4));
}

}  // namespace morvex
