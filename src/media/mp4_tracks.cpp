#include "media/mp4_tracks.h"

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/track_boxes.h"
#include "isobmff/time_headers.h"
#include "media/fragment_samples.h"
#include "media/sample_budget.h"
#include "media/stbl_samples.h"

namespace morvex {
namespace {

// The auxiliary information of a protected track's table: saiz and one
// saio offset, the samples' information back to back from there (FFmpeg
// and packagers write it so, in a senc box of the stbl); each sample's must
// lie in the file. Anything else leaves the track without it.
Result<void> read_stbl_aux_info(ByteSpan file, const Box& stbl, Track& t) {
    auto parts = MORVEX_TRY(child_boxes(stbl));
    if (has_sample_group(parts, box::seig))
        return invalid(msg::encryption_not_carried(t.track_id, quoted_fourcc(t.protection->scheme)));
    auto aux = find_aux_boxes(parts, t.protection->scheme);
    if (!aux || aux->offsets.count != 1 || aux->sizes.count < t.samples.size()) return {};
    uint64_t at = aux->offsets.offset(0);
    std::vector<AuxInfo> info;
    info.reserve(t.samples.size());
    for (size_t i = 0; i < t.samples.size(); ++i) {
        const uint32_t size = aux->sizes.size(i);
        if (at > file.size() || size > file.size() - at) return {};
        info.push_back(AuxInfo{at, size});
        at += size;
    }
    t.aux_info = std::move(info);
    return {};
}

}  // namespace

Result<Track> read_trak(ByteSpan file, const Box& trak) {
    Track t;
    t.source = file;
    t.trak = trak.bytes;
    auto parts = MORVEX_TRY(child_boxes(trak));
    if (const Box* tkhd = first_of(parts, box::tkhd)) t.track_id = tkhd_track_id(tkhd->payload()).value_or(0);
    if (const Box* edts = first_of(parts, box::edts))
        if (auto elst = MORVEX_TRY(find_child(*edts, box::elst))) t.edits = read_elst(elst->payload());
    const Box* mdia = first_of(parts, box::mdia);
    if (!mdia) return t;
    auto media = MORVEX_TRY(child_boxes(*mdia));
    if (const Box* mdhd = first_of(media, box::mdhd)) {
        auto ts = mdhd_timescale(mdhd->payload());
        if (ts && *ts != 0) t.timescale = *ts;
    }
    if (const Box* hdlr = first_of(media, box::hdlr)) t.handler = hdlr_handler_type(hdlr->payload()).value_or(0);
    const Box* minf = first_of(media, box::minf);
    if (!minf) return t;
    auto stbl = MORVEX_TRY(find_child(*minf, box::stbl));
    if (!stbl) return t;
    if (auto stsd = MORVEX_TRY(find_child(*stbl, box::stsd))) t.protection = MORVEX_TRY(sample_entry_protection(*stsd));
    t.samples = MORVEX_TRY(read_stbl_samples(file, *stbl));
    if (t.protection && !t.samples.empty()) MORVEX_CHECK(read_stbl_aux_info(file, *stbl, t));
    return t;
}

namespace {

// Whether a protected track's samples all have auxiliary information of
// the layout senc gives it (ISO/IEC 23001-7 7.2): the IV of the size its
// tenc gives, then, when present, a 16-bit subsample count and entries.
bool aux_info_carriable(const Track& t) {
    if (t.aux_info.size() != t.samples.size() || !t.protection->iv_size) return false;
    const uint32_t iv = *t.protection->iv_size;
    for (const auto& a : t.aux_info)
        if (a.size != iv && (a.size < iv + 2 || a.size > 255)) return false;
    return true;
}

// In a fragmented file an edit of segment_duration 0 stands for the whole
// media; a regular file needs the duration itself: from media_time to where
// the last picture to be shown ends (with B-frames, past the last decode
// time).
void settle_open_edits(Track& t, uint32_t movie_timescale) {
    bool open = false;
    for (const auto& e : t.edits) open |= e.segment_duration == 0 && e.media_time != -1;
    if (!open) return;
    const uint64_t end = t.presentation_end();
    for (auto& e : t.edits) {
        if (e.segment_duration != 0 || e.media_time == -1) continue;
        const uint64_t from = e.media_time > 0 ? uint64_t(e.media_time) : 0;
        e.segment_duration = scale_duration(end > from ? end - from : 0, t.timescale, movie_timescale);
    }
}

}  // namespace

Result<std::vector<Box>> read_top_level(ByteSpan file) { return top_level_boxes(file); }

Result<Mp4Tracks> read_mp4_tracks(ByteSpan file) { return read_mp4_tracks(file, MORVEX_TRY(top_level_boxes(file))); }

Result<Mp4Tracks> read_mp4_tracks(ByteSpan file, std::vector<Box> top_level) {
    Mp4Tracks m;
    m.top_level = std::move(top_level);
    const Box* moov = nullptr;
    for (const auto& b : m.top_level) {
        if (b.type == box::moov) moov = &b;  // the last one, as a rewritten file has it
        if (b.type == box::moof) m.fragmented = true;
    }
    if (!moov) return invalid(msg::kMoovNotFound);
    m.moov = *moov;
    m.moov_children = MORVEX_TRY(child_boxes(m.moov));
    if (const Box* mvhd = first_of(m.moov_children, box::mvhd)) m.movie_timescale = movie_timescale_of(mvhd->payload());
    MORVEX_CHECK(check_sample_budget(file, m.top_level, m.moov_children));
    for (const auto& c : m.moov_children)
        if (c.type == box::trak) m.tracks.push_back(MORVEX_TRY(read_trak(file, c)));
    if (m.fragmented) MORVEX_CHECK(collect_fragment_samples(file, m.top_level, m.moov_children, m.tracks));
    uint64_t bytes = 0;
    for (auto& t : m.tracks) {
        for (const auto& s : t.samples) bytes += s.size;
        settle_open_edits(t, m.movie_timescale);
        // A protected track is written with its samples' auxiliary
        // information, or not at all: without it no key decrypts it.
        if (t.protection && !aux_info_carriable(t))
            return invalid(msg::encryption_not_carried(t.track_id, quoted_fourcc(t.protection->scheme)));
    }
    if (bytes > file.size()) return invalid(msg::sample_bytes_exceed_file(file.size()));
    return m;
}

}  // namespace morvex
