// The NAL units of an Annex B byte stream (H.264 B.1, H.265 B.2) that
// arrives in pieces: each unit is handed on once the start code of the next
// one (or the end of the stream) has arrived. Zero bytes before a start code
// other than its own stay in the preceding unit; a start code ends the unit
// before it even when no byte follows it. Fed the same stream in any pieces,
// the scanner finds the same units.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/h264.h"
#include "media/source_pieces.h"

namespace morvex {

struct NalScanner {
    uint64_t scanned = 0;  // logical position up to which start codes were looked for
    // The piece that holds `scanned`, so that scanning goes on without a
    // search.
    std::optional<SourcePieces::Cursor> piece;
    uint8_t last = 1, before_last = 1;  // the two bytes before `scanned`
    std::optional<uint64_t> code;       // the start code (00 00 01) of the unit being read
    uint64_t unit_start = 0;            // where that unit begins (its four-byte form included)
    uint64_t from = 0;                  // where the unit before it ended
    // A zero byte before 00 00 01 is the start code's four-byte form (H.264,
    // HEVC); in MPEG-2 video it may end the slice before, and stays there.
    bool four_byte_codes = true;
};

// Looks for start codes in the bytes of `es` not scanned yet and calls
// `on_nal(nal)` with each unit they end.
template <typename F>
void scan_nal_units(NalScanner& s, const SourcePieces& es, F&& on_nal);

// The end of the stream ends the unit being read.
template <typename F>
void finish_nal_units(NalScanner& s, const SourcePieces& es, F&& on_nal);

// ---------------------------------------------------------------------------

namespace nal_scanner_detail {

inline h264::Nal unit(const SourcePieces& es, uint64_t start, uint64_t header, uint64_t end) {
    return h264::Nal{start, header, end, es.at(header), header + 1 < end ? es.at(header + 1) : uint8_t(0),
                     header + 2 < end ? es.at(header + 2) : uint8_t(0)};
}

// A start code at `c`: it ends the unit being read (unless it lies inside
// that unit's own start code and header byte) and begins the next.
template <typename F>
void at_code(NalScanner& s, const SourcePieces& es, uint64_t c, F& on_nal) {
    if (s.code) {
        const uint64_t header = *s.code + 3;
        if (c < header + 1) return;
        const uint64_t end = (s.four_byte_codes && c >= header + 2 && es.at(c - 1) == 0) ? c - 1 : c;
        on_nal(unit(es, s.unit_start, header, end));
        s.from = end;
    }
    // A zero byte before 00 00 01 makes it the four-byte form.
    s.unit_start = (s.four_byte_codes && c > s.from && es.at(c - 1) == 0) ? c - 1 : c;
    s.code = c;
}

}  // namespace nal_scanner_detail

template <typename F>
void scan_nal_units(NalScanner& s, const SourcePieces& es, F&& on_nal) {
    if (s.scanned >= es.size) return;
    SourcePieces::Cursor c = s.piece && es.holds(*s.piece) && s.piece->logical <= s.scanned ? *s.piece : es.find(s.scanned);
    while (c.logical + es.length(c) <= s.scanned && es.next(c)) {
    }
    for (size_t within = size_t(s.scanned - c.logical);; within = 0) {
        const uint8_t* d = es.data(c);
        const size_t n = es.length(c);
        const uint64_t base = c.logical;
        size_t j = within;
        while (j < n) {
            const void* hit = std::memchr(d + j, 1, n - j);
            if (hit == nullptr) break;
            const size_t q = size_t(static_cast<const uint8_t*>(hit) - d);
            // The two bytes before the hit: in the piece, or (at its front)
            // the last two scanned before it. A piece may have grown since
            // the last scan (`within` > 0): then s.last is its own first
            // byte, and the byte before the piece is s.before_last.
            const uint8_t b1 = q >= 1 ? d[q - 1] : s.last;
            const uint8_t b2 = q >= 2 ? d[q - 2] : q == 1 && within == 0 ? s.last : s.before_last;
            if (b1 == 0 && b2 == 0 && base + q >= 2) nal_scanner_detail::at_code(s, es, base + q - 2, on_nal);
            j = q + 1;
        }
        if (n >= within + 2) {
            s.before_last = d[n - 2];
            s.last = d[n - 1];
        } else if (n == within + 1) {
            s.before_last = s.last;
            s.last = d[n - 1];
        }
        s.piece = c;
        if (!es.next(c)) break;
    }
    s.scanned = es.size;
}


template <typename F>
void finish_nal_units(NalScanner& s, const SourcePieces& es, F&& on_nal) {
    scan_nal_units(s, es, on_nal);
    if (s.code && *s.code + 3 < es.size) on_nal(nal_scanner_detail::unit(es, s.unit_start, *s.code + 3, es.size));
    s.code.reset();
    s.from = es.size;
}

}  // namespace morvex
