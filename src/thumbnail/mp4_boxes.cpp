#include "thumbnail/mp4_boxes.h"

#include <optional>
#include <string>

#include "common/box_header.h"

namespace morvex {
namespace {

// The type as its four characters between double quotes, as in "moov".
std::string quoted(uint32_t type) {
    std::string s = "\"";
    for (int shift = 24; shift >= 0; shift -= 8) s += char((type >> shift) & 0xFF);
    return s + "\"";
}

Result<std::optional<BoxRef>> find_in_range(ByteSpan data, size_t pos, size_t end, uint32_t type) {
    while (true) {
        auto box = box_at(data, pos, end);
        if (!box) return std::unexpected(std::move(box.error()));
        if (!*box || (*box)->type == type) return box;
        pos = (*box)->end;
    }
}

}  // namespace

Result<std::optional<BoxRef>> box_at(ByteSpan data, size_t pos, size_t end) {
    if (end > data.size() || pos > end || end - pos < 8) return std::optional<BoxRef>();
    auto h = read_box_header(data.first(end), pos);
    if (!h || h->size < h->header_size) return fail(ErrorKind::InvalidData, "Invalid box size");
    // A box announcing more bytes than its range holds ends at the range.
    size_t box_end = h->size > end - pos ? end : pos + size_t(h->size);
    return std::optional<BoxRef>(BoxRef{pos, h->header_size, box_end, h->type});
}

Result<BoxRef> find_box(ByteSpan data, uint32_t type) {
    auto box = find_in_range(data, 0, data.size(), type);
    if (!box) return std::unexpected(std::move(box.error()));
    if (!*box) return fail(ErrorKind::NotFound, "Box " + quoted(type) + " not found");
    return **box;
}

Result<BoxRef> find_box_in_container(ByteSpan data, const BoxRef& container, uint32_t type) {
    auto box = find_in_range(data, container.payload(), container.end, type);
    if (!box) return std::unexpected(std::move(box.error()));
    if (!*box) return fail(ErrorKind::NotFound, "Box " + quoted(type) + " not found in container");
    return **box;
}

Result<std::optional<BoxRef>> find_child_if_any(ByteSpan data, const BoxRef& container, uint32_t type) {
    auto child = find_box_in_container(data, container, type);
    if (child) return std::optional<BoxRef>(*child);
    if (child.error().kind == ErrorKind::NotFound) return std::optional<BoxRef>();
    return std::unexpected(std::move(child.error()));
}

}  // namespace morvex
