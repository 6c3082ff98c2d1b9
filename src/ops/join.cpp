#include "ops/join.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "common/byte_writer.h"
#include "common/messages.h"
#include "isobmff/box.h"
#include "isobmff/fourcc.h"
#include "isobmff/track_boxes.h"
#include "media/presentation.h"
#include "media/stream_description.h"

namespace morvex {
namespace {

// The tracks of a movie that are joined: video then audio, in order.
std::vector<const Track*> media_tracks(const Movie& m, uint32_t handler) {
    std::vector<const Track*> out;
    for (const auto& t : m.tracks)
        if (t.handler == handler && !t.samples.empty()) out.push_back(&t);
    return out;
}

Result<std::string> codec_of(const Track& t) { return MORVEX_TRY(describe_track(t.trak)).codec; }

// The first sample entry of a trak (the whole box).
Result<ByteSpan> entry_of(const Track& t) {
    auto trak = MORVEX_TRY(read_box(t.trak, 0, 0, BoxRules{Overrun::Error}));
    if (!trak) return invalid(msg::kInvalidBoxSize);
    auto stsd = MORVEX_TRY(find_path(*trak, {box::mdia, box::minf, box::stbl, box::stsd}));
    if (!stsd) return invalid(msg::no_sample_description(t.track_id));
    auto entry = MORVEX_TRY(first_sample_entry(*stsd));
    if (!entry) return invalid(msg::no_sample_description(t.track_id));
    return entry->bytes;
}

// A copy of `box` (header included) in which the box at `path` below it is
// replaced by `with`, the sizes of the boxes on the way adjusted.
Result<void> rewrite(ByteWriter& w, const Box& box, std::span<const uint32_t> path, ByteSpan with) {
    if (path.empty()) {
        w.bytes(with);
        return {};
    }
    const size_t skip = box.type == box::stsd ? 8 : 0;
    const size_t m = w.begin_box_type(box.type);
    w.bytes(box.payload().first(skip));
    bool replaced = false;
    for (const auto& child : MORVEX_TRY(child_boxes(box, skip))) {
        if (child.type == path.front() && !replaced) {
            MORVEX_CHECK(rewrite(w, child, path.subspan(1), with));
            replaced = true;
        } else {
            copy_box(w, child);
        }
    }
    w.end_box(m);
    return {};
}

// The trak with an stsd of the given entries.
Result<Bytes> trak_with_entries(const Track& t, const std::vector<ByteSpan>& entries) {
    Bytes stsd;
    ByteWriter s{stsd};
    const size_t m = s.begin_full_box("stsd", 0, 0);
    s.u32(uint32_t(entries.size()));
    for (ByteSpan e : entries) s.bytes(e);
    s.end_box(m);
    auto trak = MORVEX_TRY(read_box(t.trak, 0, 0, BoxRules{Overrun::Error}));
    if (!trak) return invalid(msg::kInvalidBoxSize);
    Bytes out;
    ByteWriter w{out};
    const uint32_t path[] = {box::mdia, box::minf, box::stbl, box::stsd};
    MORVEX_CHECK(rewrite(w, *trak, path, stsd));
    return out;
}

// A part's samples on the joined track's timescale: decode times scaled
// as a whole (so no rounding adds up) and composition offsets each.
std::vector<Sample> rescaled(const Track& t, uint32_t to) {
    std::vector<Sample> out(t.samples.begin(), t.samples.end());
    if (t.timescale == to || t.timescale == 0) return out;
    auto scale = [&](int64_t v) { return int64_t(std::llround(double(v) * to / t.timescale)); };
    int64_t dts = 0, scaled = 0;
    for (auto& s : out) {
        dts += s.duration;
        const int64_t next = scale(dts);
        s.duration = uint32_t(std::max<int64_t>(0, next - scaled));
        scaled = next;
        s.composition_offset = int32_t(scale(s.composition_offset));
    }
    return out;
}

// What one part of one joined track brings: its samples (scaled), where
// its shown span begins in its own media time, and its presentation.
struct PartTrack {
    const Track* track = nullptr;
    std::vector<Sample> samples;
    int64_t first_shown = 0;   // media time of the first sample shown (joined timescale)
    int64_t media_time = 0;    // the part's edit: media time shown first
    double shown_at = 0;       // seconds on the part's own timeline its track begins
};

struct Output {
    Track track;
    std::vector<ByteSpan> entries;
    int64_t dts = 0;  // decode time after the last sample
};

void append(Output& o, const PartTrack& p, size_t from, uint32_t description) {
    const uint32_t first = uint32_t(o.track.samples.size());
    o.track.parts.push_back(Track::Part{first, p.track, description});
    for (size_t i = from; i < p.samples.size(); ++i) {
        o.track.samples.push_back(p.samples[i]);
        o.dts += p.samples[i].duration;
    }
}

// The number of the sample entry (1-based) that `entry` has among those
// the joined track has so far; a new one is added.
uint32_t description_of(Output& o, ByteSpan entry) {
    for (size_t k = 0; k < o.entries.size(); ++k)
        if (std::equal(o.entries[k].begin(), o.entries[k].end(), entry.begin(), entry.end())) return uint32_t(k + 1);
    o.entries.push_back(entry);
    return uint32_t(o.entries.size());
}

Result<PartTrack> part_track(const Track& t, uint32_t timescale, uint32_t movie_timescale) {
    PartTrack p;
    p.track = &t;
    p.samples = rescaled(t, timescale);
    const TrackPresentation pres = presentation_of(t, movie_timescale);
    Track scaled;
    scaled.samples = p.samples;
    scaled.timescale = timescale;
    const SampleTimes times = sample_times(scaled);
    p.media_time = int64_t(std::llround(double(pres.media_time) * timescale / (t.timescale ? t.timescale : 1)));
    int64_t first = INT64_MAX;
    for (size_t i = 0; i < p.samples.size(); ++i) {
        const int64_t pts = times.composition(scaled, i);
        if (pts + int64_t(p.samples[i].duration) <= p.media_time) continue;
        first = std::min(first, std::max(pts, p.media_time));
    }
    p.first_shown = first == INT64_MAX ? 0 : first;
    p.shown_at = pres.delay + double(p.first_shown - p.media_time) / timescale;
    return p;
}

std::string part_codec_message(size_t k, const std::string& got, const std::string& wanted) {
    return "Part " + std::to_string(k) + " holds " + got + " where part 0 holds " + wanted;
}

}  // namespace

Result<std::unique_ptr<JoinedMovie>> join_movies(std::span<const Movie* const> parts) {
    if (parts.empty()) return invalid("Nothing to join: no parts");
    const Movie& head = *parts.front();
    const auto videos0 = media_tracks(head, box::vide);
    const auto audios0 = media_tracks(head, box::soun);
    if (videos0.empty() && audios0.empty()) return invalid("Part 0 has no video or audio track");
    // Every later part has a track of each kind and rank, of the same codec.
    for (size_t k = 1; k < parts.size(); ++k)
        for (uint32_t handler : {box::vide, box::soun}) {
            const auto& want = handler == box::vide ? videos0 : audios0;
            const auto have = media_tracks(*parts[k], handler);
            for (size_t n = 0; n < want.size(); ++n) {
                const std::string wanted = MORVEX_TRY(codec_of(*want[n]));
                const std::string got = n < have.size() ? MORVEX_TRY(codec_of(*have[n])) : "no such track";
                if (got != wanted) return invalid(part_codec_message(k, got, wanted));
            }
        }

    auto joined = std::make_unique<JoinedMovie>();
    const uint32_t movie_ts = head.timescale ? head.timescale : 1000;
    std::vector<Output> video(videos0.size()), audio(audios0.size());
    // Where each part's (first) video begins, in seconds on the joined
    // timeline, counted from part 0's first picture.
    std::vector<double> video_at(parts.size(), 0);
    std::vector<std::optional<double>> video_own(parts.size());  // on the part's own timeline
    for (size_t n = 0; n < videos0.size(); ++n) {
        Output& o = video[n];
        const uint32_t ts = videos0[n]->timescale ? videos0[n]->timescale : 90000;
        int64_t end = 0;          // joined media time where the last picture shown ends
        int64_t shown_from = 0;   // part 0's first picture
        for (size_t k = 0; k < parts.size(); ++k) {
            const Track& t = *media_tracks(*parts[k], box::vide)[n];
            PartTrack p = MORVEX_TRY(part_track(t, ts, parts[k]->timescale));
            // Composition offsets move so that the part's first picture comes
            // where the last part's pictures end.
            const int64_t shift = k == 0 ? 0 : end - (o.dts + p.first_shown);
            int64_t dts = o.dts;
            for (auto& s : p.samples) {
                s.composition_offset = int32_t(std::clamp<int64_t>(s.composition_offset + shift, INT32_MIN, INT32_MAX));
                end = std::max(end, dts + s.composition_offset + int64_t(s.duration));
                dts += s.duration;
            }
            if (k == 0) shown_from = p.first_shown;
            if (n == 0) {
                video_at[k] = double(o.dts + p.first_shown + shift - shown_from) / ts;
                video_own[k] = p.shown_at;
            }
            append(o, p, 0, description_of(o, MORVEX_TRY(entry_of(t))));
        }
        o.track.edits = {Edit{uint64_t(std::llround(double(end - shown_from) * movie_ts / ts)), shown_from, 0x00010000}};
    }
    // Audio: each part keeps its offset to its video; what would overlap the
    // audio before is dropped, and a gap stays.
    std::vector<double> audio_at(audios0.size(), 0);
    for (size_t n = 0; n < audios0.size(); ++n) {
        Output& o = audio[n];
        const uint32_t ts = audios0[n]->timescale ? audios0[n]->timescale : 48000;
        double running = 0;  // seconds on the joined timeline where the audio so far ends
        int64_t shown_from = 0;
        for (size_t k = 0; k < parts.size(); ++k) {
            const Track& t = *media_tracks(*parts[k], box::soun)[n];
            PartTrack p = MORVEX_TRY(part_track(t, ts, parts[k]->timescale));
            // Where this part's first shown frame goes.
            double at = running;
            if (video_own[k]) at = video_at[k] + (p.shown_at - *video_own[k]);
            else if (k == 0) at = 0;
            // Samples hidden by the part's own edit, then whole frames that
            // would overlap the audio before, are left out.
            size_t from = 0;
            int64_t pts = 0;
            if (k > 0)
                while (from < p.samples.size() && pts + int64_t(p.samples[from].duration) <= p.media_time)
                    pts += p.samples[from++].duration;
            double first = at + double(pts - p.first_shown) / ts;
            while (k > 0 && from < p.samples.size() && first + 0.5 * p.samples[from].duration / ts < running) {
                first += double(p.samples[from].duration) / ts;
                pts += p.samples[from++].duration;
            }
            if (from == p.samples.size()) continue;
            if (k == 0) {
                shown_from = p.first_shown;
                audio_at[n] = at;
            } else if (first > running && !o.track.samples.empty()) {
                // The gap stays: the frame before it lasts until this one.
                Sample& last = o.track.samples.back();
                const int64_t gap = std::llround((first - running) * ts);
                last.duration = uint32_t(std::min<int64_t>(int64_t(last.duration) + gap, UINT32_MAX));
                o.dts += gap;
            }
            append(o, p, from, description_of(o, MORVEX_TRY(entry_of(t))));
            running = audio_at[n] + double(o.dts - shown_from) / ts;
        }
        o.track.edits = {Edit{uint64_t(std::llround((running - audio_at[n]) * movie_ts)), shown_from, 0x00010000}};
    }
    // The joined timeline starts with its earliest track.
    double origin = 0;
    for (double a : audio_at) origin = std::min(origin, a);
    auto delayed = [&](Output& o, double at) -> Result<void> {
        const Track& first_part = *o.track.parts.front().bytes;
        o.track.track_id = first_part.track_id;
        o.track.handler = first_part.handler;
        o.track.timescale = first_part.timescale ? first_part.timescale : o.track.timescale;
        o.track.source = first_part.source;
        o.track.pieces = first_part.pieces;
        o.track.nals = first_part.nals;
        o.track.nal_base = first_part.nal_base;
        o.track.source_base = first_part.source_base;
        o.track.omit_parameter_sets = first_part.omit_parameter_sets;
        joined->traks.push_back(MORVEX_TRY(trak_with_entries(first_part, o.entries)));
        const uint64_t delay = uint64_t(std::llround((at - origin) * movie_ts));
        if (delay > 0) o.track.edits.insert(o.track.edits.begin(), Edit{delay, -1, 0x00010000});
        return {};
    };
    for (auto& o : video) MORVEX_CHECK(delayed(o, 0));
    for (size_t n = 0; n < audio.size(); ++n) MORVEX_CHECK(delayed(audio[n], audio_at[n]));
    joined->movie = Movie{head.ftyp, head.moov, movie_ts, {}};
    size_t trak = 0;
    for (auto* list : {&video, &audio})
        for (auto& o : *list) {
            o.track.trak = joined->traks[trak++];
            joined->movie.tracks.push_back(std::move(o.track));
        }
    return joined;
}

}  // namespace morvex
