// H.264 elementary streams: NAL units of the Annex B byte stream (H.264
// B.1), NAL unit types (7.4.1, table 7-1) and the first slice header fields
// (7.3.3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "common/bytes.h"

namespace morvex::h264 {

enum NalType : uint8_t {
    kSliceNonIdr = 1,
    kSliceIdr = 5,
    kSei = 6,
    kSps = 7,
    kPps = 8,
    kAud = 9,
    kEndOfSequence = 10,
    kEndOfStream = 11,
    kFiller = 12,
    kSpsExtension = 13,
};

inline bool is_slice(uint8_t type) { return type >= 1 && type <= 5; }

// A NAL unit of an Annex B stream, by position in the stream.
struct Nal {
    uint64_t start;   // first byte of the start code
    uint64_t header;  // the NAL header byte
    uint64_t end;     // one past the last byte (where the next start code begins)
    uint8_t header_byte;
    uint8_t second_byte;  // the byte after the header (0 when there is none)
    uint8_t third_byte;   // and the one after that (HEVC's header is two bytes)

    uint8_t type() const { return header_byte & 0x1F; }
    uint64_t size() const { return end - header; }
    // first_mb_in_slice (the first ue(v) of the slice header) is 0 exactly
    // when the bit after the NAL header byte is 1: the slice starts a picture.
    bool starts_picture() const { return end > header + 1 && (second_byte & 0x80); }
};

// Where each 00 00 01 of a stream in pieces begins, across piece
// boundaries. `Pieces` has for_each_piece(f(ByteSpan)).
template <typename Pieces>
std::vector<uint64_t> three_byte_codes(const Pieces& pieces) {
    std::vector<uint64_t> codes;
    uint64_t base = 0;
    uint8_t last = 1, before_last = 1;  // the two bytes before the current piece
    pieces.for_each_piece([&](ByteSpan piece) {
        const uint8_t* d = piece.data();
        const size_t n = piece.size();
        size_t j = 0;
        while (j < n) {
            const void* hit = std::memchr(d + j, 1, n - j);
            if (hit == nullptr) break;
            const size_t q = size_t(static_cast<const uint8_t*>(hit) - d);
            const uint8_t b1 = q >= 1 ? d[q - 1] : last;
            const uint8_t b2 = q >= 2 ? d[q - 2] : q == 1 ? last : before_last;
            if (b1 == 0 && b2 == 0 && base + q >= 2) codes.push_back(base + q - 2);
            j = q + 1;
        }
        if (n >= 2) {
            before_last = d[n - 2];
            last = d[n - 1];
        } else if (n == 1) {
            before_last = last;
            last = d[0];
        }
        base += n;
    });
    return codes;
}

// The NAL units of an Annex B stream that lies in pieces (one logical
// stream: the pieces one after the other), in order. Zero bytes before a
// start code other than its own stay in the preceding unit; a start code
// ends the unit before it even when no byte follows it. `Pieces` has
// for_each_piece(f(ByteSpan)), at(position) and size.
template <typename Pieces>
std::vector<Nal> split_nal_units(const Pieces& b) {
    const std::vector<uint64_t> codes = three_byte_codes(b);
    std::vector<Nal> nals;
    uint64_t from = 0;  // where the search for the next unit begins
    size_t k = 0;
    while (k < codes.size()) {
        const uint64_t c = codes[k];
        // A zero byte before 00 00 01 makes it the four-byte form.
        const uint64_t start = (c > from && b.at(c - 1) == 0) ? c - 1 : c;
        const uint64_t header = c + 3;
        if (header >= b.size) break;
        // The unit ends where the next start code begins.
        size_t next = k + 1;
        while (next < codes.size() && codes[next] < header + 1) ++next;
        uint64_t end = b.size;
        if (next < codes.size()) {
            const uint64_t nx = codes[next];
            end = (nx >= header + 2 && b.at(nx - 1) == 0) ? nx - 1 : nx;
        }
        nals.push_back(Nal{start, header, end, b.at(header), header + 1 < end ? b.at(header + 1) : uint8_t(0),
                           header + 2 < end ? b.at(header + 2) : uint8_t(0)});
        if (end >= b.size) break;
        from = end;
        k = next;
    }
    return nals;
}

// A contiguous stream as one piece.
struct OnePiece {
    ByteSpan bytes;
    uint64_t size;
    explicit OnePiece(ByteSpan b) : bytes(b), size(b.size()) {}
    template <typename F>
    void for_each_piece(F&& f) const {
        f(bytes);
    }
    uint8_t at(uint64_t pos) const { return bytes[size_t(pos)]; }
};

inline std::vector<Nal> split_nal_units(ByteSpan stream) { return split_nal_units(OnePiece(stream)); }

}  // namespace morvex::h264
