// Big-endian writer appending to an owned byte vector, with ISO/IEC 14496-12
// box helpers. Boxes are written in place: `begin_box` reserves the 32-bit
// size field and `end_box` fills it once the payload is known, so a parent
// never copies its children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/bytes.h"

namespace morvex {

struct ByteWriter {
    Bytes& out;

    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v) {
        uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
        out.insert(out.end(), b, b + 2);
    }
    void u24(uint32_t v) {
        uint8_t b[3] = {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        out.insert(out.end(), b, b + 3);
    }
    void u32(uint32_t v) {
        uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        out.insert(out.end(), b, b + 4);
    }
    void u64(uint64_t v) {
        u32(uint32_t(v >> 32));
        u32(uint32_t(v));
    }
    void zeros(size_t n) {
        const size_t at = out.size();
        out.resize(at + n);
        if (n) std::memset(out.data() + at, 0, n);
    }
    void bytes(ByteSpan s) {
        const size_t at = out.size();
        out.resize(at + s.size());
        if (!s.empty()) std::memcpy(out.data() + at, s.data(), s.size());
    }
    // A four-character code such as "moov"; exactly four bytes are written.
    void fourcc(std::string_view code) {
        const char* c = code.data();
        uint8_t b[4] = {uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2]), uint8_t(c[3])};
        out.insert(out.end(), b, b + 4);
    }
    void fourcc(uint32_t code) { u32(code); }

    // Opens a box with a 32-bit size; returns the mark that `end_box` closes.
    size_t begin_box(std::string_view type) {
        size_t mark = out.size();
        u32(0);
        fourcc(type);
        return mark;
    }
    size_t begin_box_type(uint32_t type) {
        size_t mark = out.size();
        u32(0);
        u32(type);
        return mark;
    }
    // Full box (ISO/IEC 14496-12 4.2): version and 24-bit flags follow the header.
    size_t begin_full_box(std::string_view type, uint8_t version, uint32_t flags) {
        size_t mark = begin_box(type);
        u8(version);
        u24(flags);
        return mark;
    }
    void end_box(size_t mark) { patch_u32(mark, uint32_t(out.size() - mark)); }

    void patch_u32(size_t at, uint32_t v) {
        out[at] = uint8_t(v >> 24);
        out[at + 1] = uint8_t(v >> 16);
        out[at + 2] = uint8_t(v >> 8);
        out[at + 3] = uint8_t(v);
    }
};


}  // namespace morvex
