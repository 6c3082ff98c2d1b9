#include "fmp4_processor/fmp4_processor.h"

#include <limits>

#include "common/byte_reader.h"
#include "common/byte_writer.h"

namespace morvex {
namespace {

constexpr uint32_t kMoof = fourcc_value("moof");
constexpr uint32_t kTraf = fourcc_value("traf");
constexpr uint32_t kTfhd = fourcc_value("tfhd");
constexpr uint32_t kTfdt = fourcc_value("tfdt");

// Segments are written by the packager in the compact box form: a 32-bit size
// of at least 8 (sizes 0 and 1 are refused with the rest below 8).
constexpr uint32_t kHeader = 8;

// The output is the input's prefix copied byte for byte, so a box at offset i
// of the segment sits at offset i of the output too. The walks below read the
// segment and patch decode times into the output at the same offsets.
struct Rewrite {
    FragmentedMP4Processor& processor;
    ByteSpan in;
    Bytes& out;
};

Error invalid_box_size() { return Error{ErrorKind::InvalidData, "Invalid box size"}; }

// track_ID of the traf's tfhd (ISO/IEC 14496-12 8.8.7), when it has one that
// can be read. Only sound children are looked at.
std::optional<uint32_t> traf_track_id(ByteSpan in, size_t at, size_t size) {
    size_t pos = kHeader;
    while (size - pos >= kHeader) {
        uint32_t child = load_be32(&in[at + pos]);
        if (child < kHeader || child > size - pos) return std::nullopt;
        if (load_be32(&in[at + pos + 4]) == kTfhd && child >= 16) return load_be32(&in[at + pos + 12]);
        pos += child;
    }
    return std::nullopt;
}

// The base expressed in the timescale of `track`. Every track is moved back by
// the same instant: the first tfdt's value in its own track's timescale. The
// conversion is exact and truncates; it applies only when the initialisation
// segment gives the timescales of both tracks, otherwise the base is used as
// it stands.
uint64_t base_for_track(const FragmentedMP4Processor& p, std::optional<uint32_t> track) {
    uint64_t base = *p.base_decode_time;
    if (!track || !p.base_track_id) return base;
    auto from = find_timescale(p.timescales, *p.base_track_id);
    auto to = find_timescale(p.timescales, *track);
    if (!from || !to || *from == *to) return base;
    unsigned __int128 scaled = (unsigned __int128)base * *to / *from;
    return scaled > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max() : uint64_t(scaled);
}

// tfdt (8.8.12): full box, baseMediaDecodeTime at offset 12, 64 bits wide in
// version 1 and 32 bits otherwise. A box too short for its field is left as is.
void rewrite_tfdt(Rewrite& rw, size_t at, size_t size, std::optional<uint32_t> track) {
    if (size < 16) return;
    bool wide = rw.in[at + 8] == 1;
    if (wide && size < 20) return;
    uint64_t value = wide ? load_be64(&rw.in[at + 12]) : load_be32(&rw.in[at + 12]);
    FragmentedMP4Processor& p = rw.processor;
    if (!p.base_decode_time) {
        p.base_decode_time = value;
        p.base_track_id = track;
    }
    uint64_t base = base_for_track(p, track);
    uint64_t rebased = value > base ? value - base : 0;
    ByteWriter w{rw.out};
    if (wide) {
        w.patch_u32(at + 12, uint32_t(rebased >> 32));
        w.patch_u32(at + 16, uint32_t(rebased));
    } else {
        w.patch_u32(at + 12, uint32_t(rebased));
    }
}

// Walks the children of the moof or traf at `at`. A child smaller than a box
// header is refused. Bytes the walk cannot split into children (a container
// too short for a child, a child running past its container's end, a tail
// shorter than a header) stay as they were copied, so the container keeps
// exactly the length its size field gives.
Result<void> rewrite_container(Rewrite& rw, size_t at, size_t size, uint32_t type) {
    std::optional<uint32_t> track;
    if (type == kTraf) track = traf_track_id(rw.in, at, size);
    size_t pos = kHeader;
    while (size - pos >= kHeader) {
        uint32_t child = load_be32(&rw.in[at + pos]);
        if (child < kHeader) return std::unexpected(invalid_box_size());
        if (child > size - pos) break;
        uint32_t child_type = load_be32(&rw.in[at + pos + 4]);
        if (type == kMoof && child_type == kTraf) {
            auto done = rewrite_container(rw, at + pos, child, kTraf);
            if (!done) return done;
        } else if (type == kTraf && child_type == kTfdt) {
            rewrite_tfdt(rw, at + pos, child, track);
        }
        pos += child;
    }
    return {};
}

}  // namespace

void set_init_segment(FragmentedMP4Processor& processor, ByteSpan init) {
    processor.init_segment.assign(init.begin(), init.end());
    processor.timescales = read_track_timescales(init);
}

void reset(FragmentedMP4Processor& processor) {
    processor.base_decode_time.reset();
    processor.base_track_id.reset();
}

Result<Bytes> process_segment(FragmentedMP4Processor& processor, ByteSpan segment) {
    Bytes out;
    const size_t length = segment.size();
    if (length < kHeader) return out;
    out.reserve(length);
    Rewrite rw{processor, segment, out};
    size_t offset = 0;
    // A box running past the end of the segment, and a tail too short for a
    // header, are left out of the output.
    while (length - offset >= kHeader) {
        uint32_t size = load_be32(&segment[offset]);
        if (size < kHeader) return fail(ErrorKind::InvalidData, "Invalid box size");
        if (size > length - offset) break;
        out.insert(out.end(), segment.begin() + offset, segment.begin() + offset + size);
        if (load_be32(&segment[offset + 4]) == kMoof) {
            auto done = rewrite_container(rw, offset, size, kMoof);
            if (!done) return std::unexpected(std::move(done.error()));
        }
        offset += size;
    }
    return out;
}

}  // namespace morvex
