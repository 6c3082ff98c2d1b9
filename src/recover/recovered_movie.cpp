#include "recover/recovered_movie.h"

#include <algorithm>

#include "codecs/h264_sps.h"
#include "codecs/hevc_sps.h"
#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "common/messages.h"
#include "isobmff/box.h"
#include "isobmff/fourcc.h"
#include "isobmff/time_headers.h"
#include "media/mp4_tracks.h"
#include "media/timeline.h"
#include "mp4/movie_boxes.h"
#include "mp4/sample_entries.h"
#include "recover/mdat_scanner.h"
#include "recover/picture_order.h"
#include "recover/reference.h"

namespace morvex {
namespace {

constexpr uint32_t kClock = 90000;     // media timescale of video described from its own parameter sets
constexpr uint32_t kFrame25 = 3600;    // a picture at 25 a second, when the SPS gives no timing
constexpr uint32_t kMovieClock = 1000;

// Types a recorder puts at the top level after its media data; after an
// mdat whose size is wrong, the bytes its size points to are none of them.
bool top_level_type(uint32_t type) {
    for (uint32_t t : {box::moov, box::free, fourcc_value("skip"), fourcc_value("wide"), fourcc_value("udta"),
                       fourcc_value("uuid"), fourcc_value("meta"), box::mdat, box::moof, box::mfra})
        if (type == t) return true;
    return false;
}

// Where the media data begins when the boxes end at an mdat header whose
// size cannot be read: a size of 1 whose largesize is still 0 (or cut
// short), as a recorder that reserves the 64-bit form leaves it, or a size
// below the header's own.
std::optional<uint64_t> media_data_left_open(ByteSpan data, const std::vector<Box>& top) {
    const uint64_t at = top.empty() ? 0 : top.back().end();
    if (at > data.size() || data.size() - at < 8 || load_be32(data.data() + at + 4) != box::mdat) return std::nullopt;
    const uint32_t size = load_be32(data.data() + at);
    const uint64_t header = size == 1 ? 16 : 8;
    if (size >= 8 || data.size() - at < header) return std::nullopt;
    return at + header;
}

// One edit that starts the presentation `media_time` ticks into the media
// (a B-frame stream's delay, AAC's priming), to its end.
void start_at(Track& t, uint64_t media_time, uint32_t movie_timescale) {
    if (media_time == 0) return;
    const uint64_t end = t.presentation_end();
    const uint64_t shown = end > media_time ? end - media_time : 0;
    t.edits = {Edit{scale_duration(shown, t.timescale, movie_timescale), int64_t(media_time), 0x00010000}};
}

Track video_track(ByteSpan data, const ScanResult& scan, uint32_t track_id, uint32_t timescale, uint32_t duration,
                  ByteSpan trak, uint32_t movie_timescale) {
    Track t;
    t.track_id = track_id;
    t.handler = box::vide;
    t.timescale = timescale;
    t.source = data;
    t.trak = trak;
    t.samples.reserve(scan.pictures.size());
    for (const auto& p : scan.pictures) t.samples.push_back(Sample{{p.offset}, p.size, duration, 0, p.key, 0});
    const uint64_t delay = order_pictures(scan.pictures, duration, t.samples);
    start_at(t, delay, movie_timescale);
    return t;
}

// The movie from a reference's tracks and the samples found with them.
Result<RecoveredMovie> with_reference(ByteSpan data, ByteSpan ftyp, uint64_t begin, uint64_t end,
                                      const Reference& ref) {
    ScanSetup setup;
    if (ref.video) {
        setup.video = ref.video->format;
        setup.sets = ref.video->sets;
    }
    if (ref.audio) setup.audio = ref.audio->layout;
    const ScanResult scan = scan_media_data(data.subspan(0, size_t(end)), begin, setup);
    RecoveredMovie r;
    Movie& m = r.movie;
    m.ftyp = !ftyp.empty() ? ftyp : !ref.ftyp.empty() ? ref.ftyp : ByteSpan(kRebuiltFtyp);
    m.moov = ref.moov;
    m.timescale = ref.movie_timescale ? ref.movie_timescale : kMovieClock;
    if (ref.video && !scan.pictures.empty()) {
        const ReferenceTrack& v = ref.video->track;
        m.tracks.push_back(video_track(data, scan, v.track_id, v.timescale, v.sample_duration, v.trak, m.timescale));
    }
    if (ref.audio && !scan.frames.empty()) {
        const ReferenceTrack& a = ref.audio->track;
        Track t;
        t.track_id = a.track_id;
        t.handler = box::soun;
        t.timescale = a.timescale;
        t.source = data;
        t.trak = a.trak;
        t.samples.reserve(scan.frames.size());
        for (const auto& f : scan.frames) t.samples.push_back(Sample{{f.offset}, f.size, a.sample_duration, 0, true, 0});
        if (a.media_time > 0) start_at(t, std::min<uint64_t>(uint64_t(a.media_time), t.media_duration()), m.timescale);
        m.tracks.push_back(std::move(t));
    }
    if (m.tracks.empty()) return invalid(msg::kNoSamplesRecovered);
    return r;
}

// The movie of video that carries its parameter sets, found without a
// reference: a fresh movie box, an avc3 or hev1 entry made from the first
// parameter sets, and the SPS's frame rate. The audio's frames are
// stepped over: without its AudioSpecificConfig its rate is not known.
std::optional<RecoveredMovie> from_parameter_sets(ByteSpan data, ByteSpan ftyp, uint64_t begin, uint64_t end) {
    const ByteSpan media = data.subspan(0, size_t(end));
    const auto codec = find_in_band_codec(media, begin);
    if (!codec) return std::nullopt;
    ScanSetup setup;
    setup.video = VideoFormat{*codec, 4};
    setup.step_over_audio = true;
    const ScanResult scan = scan_media_data(media, begin, setup);
    if (scan.pictures.empty() || !scan.sets.first_sps || !scan.sets.first_pps) return std::nullopt;
    const ByteSpan sps = *scan.sets.first_sps, pps = *scan.sets.first_pps;
    uint16_t width = 0, height = 0;
    std::optional<uint32_t> duration;
    if (*codec == NalCodec::Avc) {
        if (auto s = h264::parse_sps(sps)) width = s->width, height = s->height, duration = s->frame_duration_90k();
    } else if (auto s = hevc::parse_sps(sps)) {
        width = s->width, height = s->height, duration = s->frame_duration_90k();
    }
    RecoveredMovie r;
    ByteWriter w{r.templates};
    const size_t moov = w.begin_box("moov");
    write_mvhd(w, kMovieClock, 0, 2);
    const size_t place = w.begin_box("trak");
    w.end_box(place);
    w.end_box(moov);
    const size_t trak_at = r.templates.size();
    write_fresh_trak(w, FreshTrack{1, true, width, height, kClock}, [&](ByteWriter& e) {
        if (*codec == NalCodec::Avc) write_avc_entry(e, true, width, height, std::span(&sps, 1), std::span(&pps, 1));
        else write_hvc1_entry(e, width, height, scan.sets.first_vps.value_or(ByteSpan()), sps, pps, true);
    });
    const ByteSpan templates(r.templates);
    Movie& m = r.movie;
    m.ftyp = !ftyp.empty() ? ftyp : ByteSpan(kRebuiltFtyp);
    m.moov = templates.subspan(0, trak_at);
    m.timescale = kMovieClock;
    m.tracks.push_back(
        video_track(data, scan, 1, kClock, duration.value_or(kFrame25), templates.subspan(trak_at), m.timescale));
    return r;
}

// A file whose own tables describe its samples: healthy, or fragmented and
// cut (the fragment reader keeps the samples of a cut fragment whose bytes
// are all there).
Result<RecoveredMovie> from_tables(ByteSpan data, std::vector<Box> top) {
    Mp4Tracks file = MORVEX_TRY(read_mp4_tracks(data, std::move(top)));
    size_t samples = 0;
    for (const auto& t : file.tracks) samples += t.samples.size();
    if (samples == 0) return invalid(msg::kNoSamplesRecovered);
    if (file.fragmented) keep_track_offsets(file.tracks, file.movie_timescale);
    RecoveredMovie r;
    r.movie = Movie{ByteSpan(kRebuiltFtyp), file.moov.bytes, file.movie_timescale, std::move(file.tracks)};
    return r;
}

}  // namespace

Result<RecoveredMovie> recovered_movie(ByteSpan data, std::optional<ByteSpan> reference) {
    std::vector<Box> top = top_level_boxes_of_cut_file(data);
    const Box* moov = nullptr;
    const Box* mdat = nullptr;
    ByteSpan ftyp;
    bool fragmented = false;
    for (size_t k = 0; k < top.size(); ++k) {
        const Box& b = top[k];
        if (b.type == box::moov && !b.cut) moov = &b;
        if (b.type == box::moof) fragmented = true;
        if (b.type == box::ftyp && !b.cut && ftyp.empty()) ftyp = b.bytes;
        if (b.type == box::mdat && !mdat) mdat = &b;
    }
    std::optional<Error> tables_error;
    if (moov) {
        auto r = from_tables(data, top);
        if (r || fragmented) return r;
        tables_error = r.error();
    }
    // The media data runs to the end of the file, unless its size is
    // right: then it ends where the next top-level box begins.
    uint64_t begin = 0, end = data.size();
    if (mdat) {
        const size_t mdat_index = size_t(mdat - top.data());
        if (!mdat->cut && mdat_index + 1 < top.size() && top_level_type(top[mdat_index + 1].type)) end = mdat->end();
        begin = mdat->payload_offset();
    } else if (auto at = media_data_left_open(data, top)) {
        begin = *at;
    } else {
        if (tables_error) return std::unexpected(*tables_error);
        return invalid(msg::kNothingToRecover);
    }
    if (reference) return with_reference(data, ftyp, begin, end, MORVEX_TRY(read_reference(*reference)));
    // A moov whose tables cannot be used (cut short, or out of step with
    // the media) still describes the tracks; when it cannot, what its
    // tables said is the answer.
    if (moov) {
        auto own = read_reference(data);
        auto r = own ? with_reference(data, ftyp, begin, end, *own) : std::unexpected(own.error());
        if (r) return r;
        return std::unexpected(*tables_error);
    }
    if (auto r = from_parameter_sets(data, ftyp, begin, end)) return std::move(*r);
    return invalid(msg::kReferenceNeeded);
}

}  // namespace morvex
