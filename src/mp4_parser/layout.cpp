#include "mp4_parser/layout.h"

#include "common/mp4_layout.h"
#include "mp4_parser/box.h"

namespace morvex {

Mp4Layout plan_layout(uint64_t moov_payload_len, uint64_t mdat_payload_len) {
    Mp4Layout l;
    l.media_start = kRebuiltFtypSize + box_header_size(moov_payload_len) + moov_payload_len +
                    box_header_size(mdat_payload_len);
    return l;
}

bool needs_co64(uint64_t moov_payload_len_stco, uint64_t mdat_payload_len) {
    // No chunk starts beyond the end of the media, so that bound decides.
    // With 32-bit offsets the movie box is at its shortest: when they fit
    // here the file stays in the short form.
    const uint64_t prefix = kRebuiltFtypSize + box_header_size(moov_payload_len_stco) + moov_payload_len_stco;
    return needs_64bit_layout(prefix, mdat_payload_len, mdat_payload_len);
}

std::vector<uint64_t> block_offsets(uint64_t media_start, std::span<const uint64_t> block_sizes) {
    std::vector<uint64_t> offsets;
    offsets.reserve(block_sizes.size());
    uint64_t at = media_start;
    for (uint64_t size : block_sizes) {
        offsets.push_back(at);
        at += size;
    }
    return offsets;
}

Result<Bytes> assemble_regular_mp4(const MoovBuilder& build_moov, std::span<const ByteSpan> blocks) {
    std::vector<uint64_t> sizes;
    sizes.reserve(blocks.size());
    uint64_t media = 0;
    for (ByteSpan b : blocks) {
        sizes.push_back(b.size());
        media += b.size();
    }
    auto measured = build_moov({}, false);
    if (!measured) return std::unexpected(measured.error());
    const bool co64 = needs_co64(measured->size(), media);
    if (co64) {
        measured = build_moov({}, true);
        if (!measured) return std::unexpected(measured.error());
    }
    const Mp4Layout layout = plan_layout(measured->size(), media);
    const std::vector<uint64_t> offsets = block_offsets(layout.media_start, sizes);
    auto moov = build_moov(offsets, co64);
    if (!moov) return std::unexpected(moov.error());
    if (moov->size() != measured->size())
        return fail(ErrorKind::InvalidData, "moov 크기가 offset 계산 전후로 달라짐");

    // major brand isom, minor version 2, compatible isom, iso2, avc1, mp41
    static constexpr uint8_t kFtyp[kRebuiltFtypSize] = {0,   0,   0,   32,  'f', 't', 'y', 'p', 'i', 's', 'o',
                                                         'm', 0,   0,   0,   2,   'i', 's', 'o', 'm', 'i', 's',
                                                         'o', '2', 'a', 'v', 'c', '1', 'm', 'p', '4', '1'};
    Bytes out(kFtyp, kFtyp + sizeof kFtyp);
    out.reserve(size_t(layout.media_start + media));
    write_box(out, fourcc_value("moov"), *moov);
    // The mdat payload is appended in place rather than gathered first.
    write_box_header(out, fourcc_value("mdat"), media);
    for (ByteSpan b : blocks) out.insert(out.end(), b.begin(), b.end());
    return out;
}

}  // namespace morvex
