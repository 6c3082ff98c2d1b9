#include "thumbnail/idr_picture.h"

#include <cstdint>

namespace morvex {
namespace {

constexpr uint8_t kIdrSlice = 5;  // nal_unit_type of a coded slice of an IDR picture

// A NAL unit as found by the start-code scan: where its start code begins and
// where its header byte is.
struct NalStart {
    size_t start_code;
    size_t header;
};

// The first start code at or after `from` that has a NAL header byte after it.
// 00 00 01 is tried before 00 00 00 01 at each position.
std::optional<NalStart> next_nal(ByteSpan s, size_t from) {
    const size_t n = s.size();
    for (size_t q = from; n >= 4 && q < n - 3; ++q) {
        if (s[q] != 0 || s[q + 1] != 0) continue;
        if (s[q + 2] == 1) return NalStart{q, q + 3};
        if (q < n - 4 && s[q + 2] == 0 && s[q + 3] == 1) return NalStart{q, q + 4};
    }
    return std::nullopt;
}

// End of the NAL unit whose header is at `header`: the first later position
// where a start code begins, whether or not a byte follows it.
size_t nal_end(ByteSpan s, size_t header) {
    const size_t n = s.size();
    for (size_t p = header + 1; n >= 3 && p <= n - 3; ++p) {
        if (s[p] != 0 || s[p + 1] != 0) continue;
        if (s[p + 2] == 1) return p;
        if (p + 4 <= n && s[p + 2] == 0 && s[p + 3] == 1) return p;
    }
    return n;
}

uint8_t nal_type(ByteSpan s, const NalStart& nal) { return s[nal.header] & 0x1F; }

// A further slice of the same picture: an IDR slice whose first_mb_in_slice
// (7.3.3, the first ue(v) of the slice header) is not 0. ue(v) codes 0 as the
// single bit 1, so the first bit after the NAL header tells.
bool continues_picture(ByteSpan s, const NalStart& nal, size_t end) {
    return nal_type(s, nal) == kIdrSlice && nal.header + 1 < end && (s[nal.header + 1] & 0x80) == 0;
}

}  // namespace

std::optional<ByteRange> find_first_idr_picture(ByteSpan stream) {
    std::optional<NalStart> nal = next_nal(stream, 0);
    while (nal && nal_type(stream, *nal) != kIdrSlice) nal = next_nal(stream, nal->start_code + 1);
    if (!nal) return std::nullopt;
    ByteRange picture{nal->start_code, nal_end(stream, nal->header)};
    // The slices of one picture follow each other; the picture ends at the next
    // picture's first slice or at the first NAL unit that is not an IDR slice.
    while (true) {
        auto next = next_nal(stream, picture.end);
        if (!next || next->start_code != picture.end) break;
        size_t end = nal_end(stream, next->header);
        if (!continues_picture(stream, *next, end)) break;
        picture.end = end;
    }
    return picture;
}

}  // namespace morvex
