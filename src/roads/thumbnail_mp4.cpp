// Key frame of an MP4: the first sync sample of the first video track,
// converted from length-prefixed NAL units to Annex B and preceded by the
// parameter sets of the track's avcC (H.264) or hvcC (HEVC).
#include "codecs/avc_config.h"
#include "codecs/h264.h"
#include "codecs/hevc.h"
#include "codecs/hvcc.h"
#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/track_boxes.h"
#include "media/fragment_samples.h"
#include "media/mp4_tracks.h"
#include "media/sample_budget.h"
#include "roads/thumbnails.h"

namespace morvex {
namespace {

Result<Box> top_level_box(const std::vector<Box>& top, uint32_t type) {
    if (const Box* b = first_of(top, type)) return *b;
    return fail(ErrorKind::NotFound, msg::box_not_found(quoted_fourcc(type)));
}

Result<bool> is_video_track(const Box& trak) {
    auto hdlr = MORVEX_TRY(find_path(trak, {box::mdia, box::hdlr}));
    return hdlr && hdlr_handler_type(hdlr->payload()) == box::vide;
}

Result<Box> first_video_track(const Box& moov) {
    auto children = MORVEX_TRY(child_boxes(moov));
    if (!first_of(children, box::trak))
        return fail(ErrorKind::NotFound, msg::box_not_found_in_container(quoted_fourcc(box::trak)));
    for (const auto& c : children)
        if (c.type == box::trak && MORVEX_TRY(is_video_track(c))) return c;
    return fail(ErrorKind::NotFound, msg::kNoVideoTrack);
}

// The parameter sets a decoder needs first, in order (VPS, SPS, PPS), and
// the length-field size of the samples.
struct StreamConfig {
    uint8_t length_size = 4;
    bool hevc = false;
    std::vector<ByteSpan> sets;
};

// From the avcC or hvcC of the first sample entry; a track without one
// (parameter sets in the samples, as with avc3) gives 4-byte lengths and no
// sets.
Result<StreamConfig> track_stream_config(const Box& trak) {
    StreamConfig out;
    auto stsd = MORVEX_TRY(find_path(trak, {box::mdia, box::minf, box::stbl, box::stsd}));
    if (!stsd) return out;
    auto entry = MORVEX_TRY(first_sample_entry(*stsd));
    if (!entry || entry->payload().size() < kVisualEntryFields) return out;
    if (auto hvcc = MORVEX_TRY(find_child(*entry, box::hvcC, kVisualEntryFields))) {
        HevcConfig c = MORVEX_TRY(parse_hevc_config(hvcc->payload()));
        out.length_size = c.length_size;
        out.hevc = true;
        for (const auto* list : {&c.vps, &c.sps, &c.pps}) out.sets.insert(out.sets.end(), list->begin(), list->end());
        return out;
    }
    auto avcc = MORVEX_TRY(find_child(*entry, box::avcC, kVisualEntryFields));
    if (!avcc) return out;
    AvcConfig c = MORVEX_TRY(parse_avc_config(avcc->payload()));
    out.length_size = c.length_size;
    out.sets = c.sps;
    out.sets.insert(out.sets.end(), c.pps.begin(), c.pps.end());
    return out;
}

// Whether a sample of length-prefixed NAL units holds a coded slice (H.264
// nal_unit_type 1-5, H.265 0-31): a picture, not parameter sets or padding.
bool holds_picture(ByteSpan sample, const StreamConfig& config) {
    ByteReader r{sample};
    while (r.can_read(config.length_size)) {
        uint32_t length = 0;
        for (uint8_t i = 0; i < config.length_size; ++i) length = (length << 8) | *r.u8();
        auto nal = r.bytes(length);
        if (!nal) return false;
        if (nal->empty()) continue;
        const uint8_t header = nal->front();
        if (config.hevc ? hevc::is_vcl(hevc::nal_type_of(header)) : h264::is_slice(header & 0x1F)) return true;
    }
    return false;
}

}  // namespace

Result<Bytes> extract_thumbnail_from_mp4(ByteSpan data) {
    auto top = MORVEX_TRY(read_top_level(data));
    const Box mdat = MORVEX_TRY(top_level_box(top, box::mdat));
    if (mdat.payload().empty()) return invalid(msg::kInvalidMdat);
    const Box moov = MORVEX_TRY(top_level_box(top, box::moov));
    const Box trak = MORVEX_TRY(first_video_track(moov));
    if (!MORVEX_TRY(find_path(trak, {box::mdia, box::minf, box::stbl})))
        return fail(ErrorKind::NotFound, msg::box_not_found_in_container(quoted_fourcc(box::stbl)));
    // A protected picture is of no use without its key, and its parameter
    // sets in the clear would pass it off as one.
    if (auto stsd = MORVEX_TRY(find_path(trak, {box::mdia, box::minf, box::stbl, box::stsd})))
        if (auto protection = MORVEX_TRY(sample_entry_protection(*stsd)))
            return invalid(msg::encrypted_key_frame(quoted_fourcc(protection->scheme)));
    const std::vector<Box> moov_children = MORVEX_TRY(child_boxes(moov));
    MORVEX_CHECK(check_sample_budget(data, top, moov_children));
    std::vector<Track> tracks;
    tracks.push_back(MORVEX_TRY(read_trak(data, trak)));
    Track& video = tracks.front();
    if (video.samples.empty())
        MORVEX_CHECK(collect_fragment_samples(data, top, moov_children, tracks));
    const Sample* key = nullptr;
    for (const auto& s : video.samples)
        if (s.sync) {
            key = &s;
            break;
        }
    if (!key) return fail(ErrorKind::NotFound, msg::kNoSyncSample);
    const StreamConfig config = MORVEX_TRY(track_stream_config(trak));
    const ByteSpan sample = data.subspan(size_t(key->offset), key->size);
    // A key frame is a picture, never the parameter sets alone.
    if (!holds_picture(sample, config)) return invalid(msg::kNoPictureInKeyFrame);

    Bytes out;
    size_t sets = 0;
    for (ByteSpan s : config.sets) sets += 4 + s.size();
    // Each length field becomes a four-byte start code, and the sample holds
    // at most size / length_size of them.
    out.reserve(sets + size_t(key->size) + size_t(key->size) / config.length_size * 3);
    for (ByteSpan s : config.sets) append_annexb_nal(out, s);
    append_annexb_sample(out, sample, config.length_size);
    return out;
}

}  // namespace morvex
