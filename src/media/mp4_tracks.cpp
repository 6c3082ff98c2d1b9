#include "media/mp4_tracks.h"

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/time_headers.h"
#include "media/fragment_samples.h"
#include "media/sample_budget.h"
#include "media/stbl_samples.h"

namespace morvex {
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
    if (const Box* minf = first_of(media, box::minf))
        if (auto stbl = MORVEX_TRY(find_child(*minf, box::stbl))) t.samples = MORVEX_TRY(read_stbl_samples(file, *stbl));
    return t;
}

namespace {

// In a fragmented file an edit of segment_duration 0 stands for the whole
// media; a regular file needs the duration itself.
void settle_open_edits(Track& t, uint32_t movie_timescale) {
    const uint64_t media = t.media_duration();
    for (auto& e : t.edits) {
        if (e.segment_duration != 0 || e.media_time == -1) continue;
        const uint64_t from = e.media_time > 0 ? uint64_t(e.media_time) : 0;
        e.segment_duration = scale_duration(media > from ? media - from : 0, t.timescale, movie_timescale);
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
    if (m.fragmented) MORVEX_CHECK(collect_fragment_samples(m.top_level, m.moov_children, m.tracks));
    uint64_t bytes = 0;
    for (auto& t : m.tracks) {
        for (const auto& s : t.samples) bytes += s.size;
        settle_open_edits(t, m.movie_timescale);
    }
    if (bytes > file.size()) return invalid(msg::sample_bytes_exceed_file(file.size()));
    return m;
}

}  // namespace morvex
