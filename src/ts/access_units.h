// Cutting a video elementary stream into access units, as it arrives.
//
// H.264 (7.4.1.2.3): a new one begins at an access unit delimiter, and at
// an SEI, SPS or PPS NAL unit or a slice with first_mb_in_slice 0 that
// follows a slice of the current one. HEVC (H.265 7.4.2.4.4): at a
// delimiter, and at a VPS, SPS, PPS, prefix SEI or NAL unit of types 41-44
// and 48-55, or a slice segment with first_slice_segment_in_pic_flag set,
// that follows a slice segment of the current one. MPEG-2 video (ISO/IEC
// 13818-2 6.2): at a sequence header, a group of pictures header or a
// picture header that follows a slice of the current picture.
//
// H.264 and HEVC units keep their NAL units (delimiters left out) as
// ranges of the elementary stream, parameter sets marked, so that a writer
// may leave those to the sample entry; an MPEG-2 unit is its bytes as they
// stand. A unit without a picture gives no sample, nor does one that lost
// bytes where the stream was broken (a continuity gap).
//
// Each picture's place in presentation order is read from its first slice:
// the picture order count (H.264 8.2.1, H.265 8.3.1) or the MPEG-2
// temporal_reference, counted within a period that ends where the count
// starts afresh (an IDR picture, a group of pictures).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "codecs/h264.h"
#include "codecs/h264_slice.h"
#include "codecs/hevc_slice.h"
#include "common/bytes.h"
#include "media/source_pieces.h"
#include "media/track.h"
#include "ts/nal_scanner.h"
#include "ts/program.h"

namespace morvex {

// Field pictures (H.264 field_pic_flag, MPEG-2 picture_structure).
enum class Field : uint8_t { Frame, Top, Bottom };

struct AccessUnit {
    uint64_t start = 0;      // where the unit's first start code begins in the stream
    uint64_t first_nal = 0;  // its NAL units, from this index of the cutter's NAL list
    uint32_t nal_count = 0;
    // In length-prefixed form (4-byte lengths), all kept units; MPEG-2: the
    // unit's bytes.
    uint32_t bytes = 0;
    uint32_t parameter_set_bytes = 0;  // of which the parameter sets take
    bool idr = false;             // an IDR picture (HEVC: an IRAP picture; MPEG-2: an I picture)
    bool recovery_point = false;  // H.264: a recovery point SEI (D.2.8) came with it
    bool rasl = false;            // HEVC: a random access skipped leading picture
    uint8_t vcl_type = 0;         // HEVC: the NAL unit type of its first slice segment
    bool closed_gop = false;      // MPEG-2: a group of pictures header with closed_gop set
    Field field = Field::Frame;
    uint32_t frame_num = 0;  // pairs fields: H.264 frame_num, MPEG-2 temporal_reference
    // Presentation order within `period`, when the slice header could be read.
    std::optional<int64_t> order;
    // H.264: a frame whose coded count (pic_order_cnt_type 0) is odd, as
    // when an encoder counts one a frame rather than two.
    bool odd_frame_count = false;
    uint32_t period = 0;
};

// The NAL units of the units cut so far, numbered from the stream's first:
// a live reader drops those of units already written.
struct NalList {
    std::vector<NalRange> ranges;
    uint64_t base = 0;  // the number of the first one kept

    uint64_t end() const { return base + ranges.size(); }
    void drop_before(uint64_t index);
};

// Every distinct VPS, SPS and PPS of the stream (MPEG-2: sequence header
// and sequence extension), in the order they first appear, and whether one
// of them was given other contents later (a resolution change, an encoder
// restart): the samples must then carry their parameter sets in-band. The
// sets in force by id, parsed, for reading slice headers.
struct ParameterSets {
    std::vector<ByteSpan> vps, sps, pps;
    std::vector<Bytes> storage;  // what the spans point into
    bool change = false;
    std::array<std::optional<h264::Sps>, 32> h264_sps;
    std::array<std::optional<h264::Pps>, 256> h264_pps;
    std::array<std::optional<hevc::Sps>, 16> hevc_sps;
    std::array<std::optional<hevc::Pps>, 64> hevc_pps;
};

// Where the pictures' order counts stand.
struct PictureOrder {
    h264::PocState h264;
    hevc::PocState hevc;
    uint32_t period = 0;
};

struct AccessUnitCutter {
    VideoCodec codec = VideoCodec::H264;
    NalScanner scanner;
    NalList nals;
    ParameterSets sets;
    PictureOrder order;
    bool open = false;       // some NAL unit belongs to the current unit
    bool has_slice = false;
    bool damaged = false;    // the current unit lost bytes
    AccessUnit unit;
    // Stream positions where bytes were lost (the stream goes on after a
    // continuity gap): the unit that holds the byte before one is dropped.
    std::deque<uint64_t> breaks;
    uint64_t dropped = 0;  // units dropped for that
};

// Cuts the units the bytes of `es` not read yet complete; `on_unit(unit)`
// gets each. A unit without a slice gives none.
template <typename F>
void cut_access_units(AccessUnitCutter& c, const SourcePieces& es, F&& on_unit);

// The end of the stream completes the last unit.
template <typename F>
void finish_access_units(AccessUnitCutter& c, const SourcePieces& es, F&& on_unit);

// What a NAL unit (MPEG-2: a start code and what follows it) is to the
// access-unit cutter (and to the key-frame search, which looks for the
// same pictures).
struct NalRole {
    bool vcl = false;
    bool starts_picture = false;  // a slice (segment) that begins a picture; MPEG-2: a picture header
    bool random_access = false;   // of an IDR picture (HEVC: an IRAP picture; MPEG-2: an I picture)
    bool delimiter = false;
    bool opens_unit = false;      // begins a new unit when it follows a slice
    int parameter_set = -1;       // 0 VPS, 1 SPS, 2 PPS (MPEG-2: 1 sequence header, 2 sequence extension)
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
