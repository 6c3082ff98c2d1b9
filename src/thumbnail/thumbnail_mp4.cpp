// Key frame of a regular MP4: the first sync sample of the first video track,
// found through the track's sample table, converted from length-prefixed NAL
// units to Annex B and preceded by the SPS and PPS of the track's avcC.
#include <initializer_list>
#include <string>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "thumbnail/avc_config.h"
#include "thumbnail/mp4_boxes.h"
#include "thumbnail/sample_table.h"
#include "thumbnail/thumbnail.h"

namespace morvex {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// hdlr (ISO/IEC 14496-12 8.4.3): handler_type follows version, flags and
// pre_defined. A trak without mdia or hdlr is not a video track.
Result<bool> is_video_track(ByteSpan data, const BoxRef& trak) {
    auto mdia = find_child_if_any(data, trak, fourcc_value("mdia"));
    if (!mdia || !*mdia) return mdia ? Result<bool>(false) : std::unexpected(std::move(mdia.error()));
    auto hdlr = find_child_if_any(data, **mdia, fourcc_value("hdlr"));
    if (!hdlr || !*hdlr) return hdlr ? Result<bool>(false) : std::unexpected(std::move(hdlr.error()));
    const BoxRef& h = **hdlr;
    return h.end - h.payload() >= 12 && load_be32(&data[h.payload() + 8]) == fourcc_value("vide");
}

// The first trak of the moov whose handler is "vide".
Result<BoxRef> first_video_track(ByteSpan data, const BoxRef& moov) {
    auto trak = find_box_in_container(data, moov, fourcc_value("trak"));
    if (!trak) return trak;
    for (size_t pos = trak->pos; pos < moov.end;) {
        auto box = box_at(data, pos, moov.end);
        if (!box) return std::unexpected(std::move(box.error()));
        if (!*box) break;
        if ((*box)->type == fourcc_value("trak")) {
            auto video = is_video_track(data, **box);
            if (!video) return std::unexpected(std::move(video.error()));
            if (*video) return **box;
        }
        pos = (*box)->end;
    }
    return fail(ErrorKind::NotFound, "No video track found");
}

Result<BoxRef> descend(ByteSpan data, BoxRef box, std::initializer_list<uint32_t> path) {
    for (uint32_t type : path) {
        auto child = find_box_in_container(data, box, type);
        if (!child) return child;
        box = *child;
    }
    return box;
}

// The avcC of the first sample entry of stsd (8.5.2). A VisualSampleEntry's
// child boxes follow its 78 bytes of fixed fields; stsd's entries follow its
// version, flags and entry_count. A track without avcC (parameter sets in the
// samples, as with avc3) gives the default configuration.
Result<AvcConfig> track_avc_config(ByteSpan data, const BoxRef& stbl) {
    auto stsd = find_child_if_any(data, stbl, fourcc_value("stsd"));
    if (!stsd) return std::unexpected(std::move(stsd.error()));
    if (!*stsd) return AvcConfig{};
    auto entry = box_at(data, (*stsd)->payload() + 8, (*stsd)->end);
    if (!entry) return std::unexpected(std::move(entry.error()));
    if (!*entry || (*entry)->end - (*entry)->payload() < 78) return AvcConfig{};
    BoxRef fields = **entry;
    fields.header += 78;
    auto avcc = find_child_if_any(data, fields, fourcc_value("avcC"));
    if (!avcc) return std::unexpected(std::move(avcc.error()));
    if (!*avcc) return AvcConfig{};
    const BoxRef& a = **avcc;
    return parse_avc_config(data.subspan(a.payload(), a.end - a.payload()));
}

}  // namespace

Result<Bytes> extract_thumbnail_from_mp4(ByteSpan data) {
    const size_t n = data.size();
    auto mdat = find_box(data, fourcc_value("mdat"));
    if (!mdat) return std::unexpected(std::move(mdat.error()));
    if (mdat->payload() >= n) return fail(ErrorKind::InvalidData, "Invalid mdat box");
    auto moov = find_box(data, fourcc_value("moov"));
    if (!moov) return std::unexpected(std::move(moov.error()));
    auto trak = first_video_track(data, *moov);
    if (!trak) return std::unexpected(std::move(trak.error()));
    auto stbl = descend(data, *trak,
                        {fourcc_value("mdia"), fourcc_value("minf"), fourcc_value("stbl")});
    if (!stbl) return std::unexpected(std::move(stbl.error()));
    auto number = first_sync_sample(data, *stbl);
    if (!number) return std::unexpected(std::move(number.error()));
    auto sample = locate_sample(data, *stbl, *number);
    if (!sample) return std::unexpected(std::move(sample.error()));
    if (sample->offset >= n)
        return fail(ErrorKind::InvalidData,
                    "Sample offset " + std::to_string(sample->offset) + " lies outside the input");
    if (sample->size > n - sample->offset) return fail(ErrorKind::InvalidData, "Sample size exceeds mdat bounds");
    auto config = track_avc_config(data, *stbl);
    if (!config) return std::unexpected(std::move(config.error()));

    Bytes out;
    size_t sets = 0;
    for (ByteSpan s : config->sps) sets += 4 + s.size();
    for (ByteSpan s : config->pps) sets += 4 + s.size();
    // Each length field becomes a four-byte start code, and the sample holds
    // at most size / length_size of them.
    out.reserve(sets + size_t(sample->size) + size_t(sample->size) / config->length_size * 3);
    ByteWriter w{out};
    for (ByteSpan s : config->sps) {
        w.bytes(kStartCode);
        w.bytes(s);
    }
    for (ByteSpan s : config->pps) {
        w.bytes(kStartCode);
        w.bytes(s);
    }
    append_annexb_sample(out, data.subspan(size_t(sample->offset), sample->size), config->length_size);
    return out;
}

}  // namespace morvex
