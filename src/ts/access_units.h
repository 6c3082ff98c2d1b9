// Cutting an Annex B video stream into access units, as it arrives. H.264
// (7.4.1.2.3): a new one begins at an access unit delimiter, and at an SEI,
// SPS or PPS NAL unit or a slice with first_mb_in_slice 0 that follows a
// slice of the current one. HEVC (H.265 7.4.2.4.4): at a delimiter, and at a
// VPS, SPS, PPS, prefix SEI or NAL unit of types 41-44 and 48-55, or a slice
// segment with first_slice_segment_in_pic_flag set, that follows a slice
// segment of the current one.
//
// Each unit keeps its NAL units (delimiters left out) as ranges of the
// elementary stream, parameter sets marked, so that a writer may leave
// those to the sample entry. A unit without a picture gives no sample.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "codecs/h264.h"
#include "common/bytes.h"
#include "media/source_pieces.h"
#include "media/track.h"
#include "ts/nal_scanner.h"
#include "ts/program.h"

namespace morvex {

struct AccessUnit {
    uint64_t start = 0;      // where the unit's first start code begins in the stream
    uint64_t first_nal = 0;  // its NAL units, from this index of the cutter's NAL list
    uint32_t nal_count = 0;
    uint32_t bytes = 0;                // in length-prefixed form (4-byte lengths), all kept units
    uint32_t parameter_set_bytes = 0;  // of which the parameter sets take
    bool idr = false;             // an IDR picture (HEVC: an IRAP picture)
    bool recovery_point = false;  // H.264: a recovery point SEI (D.2.8) came with it
};

// The NAL units of the units cut so far, numbered from the stream's first:
// a live reader drops those of units already written.
struct NalList {
    std::vector<NalRange> ranges;
    uint64_t base = 0;  // the number of the first one kept

    uint64_t end() const { return base + ranges.size(); }
    void drop_before(uint64_t index);
};

// Every distinct VPS, SPS and PPS of the stream, in the order they first
// appear, and whether one of them was given other contents later (a
// resolution change, an encoder restart): the samples must then carry
// their parameter sets in-band.
struct ParameterSets {
    std::vector<ByteSpan> vps, sps, pps;
    std::vector<Bytes> storage;  // what the spans point into
    bool change = false;
};

struct AccessUnitCutter {
    VideoCodec codec = VideoCodec::H264;
    NalScanner scanner;
    NalList nals;
    ParameterSets sets;
    bool open = false;       // some NAL unit belongs to the current unit
    bool has_slice = false;
    AccessUnit unit;
};

// Cuts the units the bytes of `es` not read yet complete; `on_unit(unit)`
// gets each. A unit without a slice gives none.
template <typename F>
void cut_access_units(AccessUnitCutter& c, const SourcePieces& es, F&& on_unit);

// The end of the stream completes the last unit.
template <typename F>
void finish_access_units(AccessUnitCutter& c, const SourcePieces& es, F&& on_unit);

// What a NAL unit is to the access-unit cutter (and to the key-frame
// search, which looks for the same pictures).
struct NalRole {
    bool vcl = false;
    bool starts_picture = false;  // a slice (segment) that begins a picture
    bool random_access = false;   // of an IDR picture (HEVC: an IRAP picture)
    bool delimiter = false;
    bool opens_unit = false;      // begins a new unit when it follows a slice
    int parameter_set = -1;       // 0 VPS, 1 SPS, 2 PPS
};

NalRole role_of(VideoCodec codec, const h264::Nal& nal);

// One NAL unit into the cutter; returns true when it closed a unit, which
// is then in `closed`.
bool add_nal(AccessUnitCutter& c, const SourcePieces& es, const h264::Nal& nal, AccessUnit& closed);
// Closes the current unit; true when it gives one.
bool close_unit(AccessUnitCutter& c, AccessUnit& closed);

template <typename F>
void cut_access_units(AccessUnitCutter& c, const SourcePieces& es, F&& on_unit) {
    scan_nal_units(c.scanner, es, [&](const h264::Nal& nal) {
        AccessUnit closed;
        if (add_nal(c, es, nal, closed)) on_unit(closed);
    });
}

template <typename F>
void finish_access_units(AccessUnitCutter& c, const SourcePieces& es, F&& on_unit) {
    finish_nal_units(c.scanner, es, [&](const h264::Nal& nal) {
        AccessUnit closed;
        if (add_nal(c, es, nal, closed)) on_unit(closed);
    });
    AccessUnit closed;
    if (close_unit(c, closed)) on_unit(closed);
}

}  // namespace morvex
