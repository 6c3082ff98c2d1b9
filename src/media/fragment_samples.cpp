#include "media/fragment_samples.h"

#include <algorithm>
#include <unordered_map>

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/fragment_boxes.h"
#include "media/timeline.h"

namespace morvex {
namespace {

// Where a track's samples so far end on its decode timeline.
struct Running {
    uint64_t end = 0;
};

// The decode time of a traf (tfdt) against the samples before it: a later
// one is a gap, which the sample before it fills by lasting until then, as
// a lost PES does on the TS road, so that the samples after the gap keep
// their times (stts then holds the gap). An earlier one (an overlap) keeps
// the running sum. Times are signed (media/timeline.h). The first traf of a track gives its start; when the
// moov holds samples of the track, those start the timeline at 0.
void follow_decode_time(Track& track, Running& running, uint64_t tfdt) {
    if (!track.start_time) {
        track.start_time = track.samples.empty() ? tfdt : 0;
        running.end = *track.start_time + track.media_duration();
    }
    if (signed_time(tfdt) > signed_time(running.end) && !track.samples.empty()) {
        uint32_t& last = track.samples.back().duration;
        const uint64_t longer = uint64_t(last) + (tfdt - running.end);
        last = uint32_t(std::min<uint64_t>(longer, UINT32_MAX));
        running.end = tfdt;
    }
}

// The auxiliary information of a protected track's samples in one traf:
// saiz gives each sample's size, saio where the first lies (relative to the
// traf's base offset, 8.7.9), for the whole traf or for each trun.
struct TrafAux {
    std::optional<AuxBoxes> boxes;
    uint64_t base = 0;
    uint32_t traf_sample = 0;  // samples of the traf before the current one
    uint64_t next = 0;         // where the current sample's information lies

    void begin_run(size_t run) {
        if (!boxes) return;
        if (run == 0 || boxes->offsets.count > 1)
            next = run < boxes->offsets.count ? base + boxes->offsets.offset(run) : UINT64_MAX;
    }
    // The current sample's information, if it lies in the file; then the next.
    std::optional<AuxInfo> take(uint64_t file_size) {
        if (!boxes || traf_sample >= boxes->sizes.count || next == UINT64_MAX) return std::nullopt;
        const uint32_t size = boxes->sizes.size(traf_sample++);
        if (next > file_size || size > file_size - next) {
            next = UINT64_MAX;
            return std::nullopt;
        }
        const AuxInfo info{next, size};
        next += size;
        return info;
    }
};

// The tracks of a file by track_ID (the first trak of an ID takes its
// fragments), and the trex defaults.
struct Lookup {
    std::unordered_map<uint32_t, size_t> track_index;
    TrexTable trex;
};

Result<void> read_moof(uint64_t file_size, const Box& moof, const Box& mdat, const Lookup& lookup,
                       std::vector<Track>& tracks, std::vector<Running>& running) {
    const uint64_t mdat_begin = mdat.payload_offset(), mdat_end = mdat.end();
    // Data of a traf without an explicit base follows the previous traf's
    // data (8.8.7.1); the first one starts at the moof.
    uint64_t previous_traf_end = moof.offset;
    for (const auto& traf : MORVEX_TRY(child_boxes(moof))) {
        if (traf.type != box::traf) continue;
        auto parts = MORVEX_TRY(child_boxes(traf));
        const TfhdFields tfhd = read_traf_header(parts);
        const auto found = lookup.track_index.find(tfhd.track_id);
        const size_t index = found != lookup.track_index.end() ? found->second : 0;
        Track* track = found != lookup.track_index.end() ? &tracks[index] : nullptr;
        const SampleDefaults defaults = merge_defaults(tfhd, lookup.trex.of(tfhd.track_id));
        const uint64_t base = tfhd.base_data_offset               ? *tfhd.base_data_offset
                              : (tfhd.tf_flags & kTfDefaultBaseIsMoof) ? moof.offset
                                                                       : previous_traf_end;
        if (track)
            if (const Box* tfdt_box = first_of(parts, box::tfdt))
                if (auto tfdt = read_tfdt(tfdt_box->payload())) follow_decode_time(*track, running[index], tfdt->time);
        TrafAux aux;
        if (track && track->protection) {
            // Keys given by sample groups (seig) would need those groups too.
            if (has_sample_group(parts, box::seig))
                return invalid(msg::encryption_not_carried(track->track_id, quoted_fourcc(track->protection->scheme)));
            aux.boxes = find_aux_boxes(parts, track->protection->scheme);
            aux.base = base;
        }
        std::optional<uint64_t> next_run;  // end of the previous run's bytes
        std::optional<uint64_t> traf_end;
        size_t run_index = 0;
        for (const auto& b : parts) {
            if (b.type != box::trun) continue;
            auto run = read_trun(b.payload());
            if (!run) continue;
            aux.begin_run(run_index++);
            std::optional<uint64_t> start;
            if (run->data_offset) start = base + uint64_t(int64_t(*run->data_offset));
            else start = next_run;  // the first run of a traf needs an offset
            if (!start) {
                next_run.reset();
                aux.traf_sample += run->sample_count;
                continue;
            }
            // Samples are kept while their bytes lie inside this mdat's
            // payload; the first that does not ends the run, as does a
            // missing record of a truncated run.
            const uint64_t present = run->present();
            uint64_t pos = *start;
            bool whole = present == run->sample_count;
            uint64_t i = 0;
            for (; i < present; ++i) {
                const RunSample s = run->sample(size_t(i), defaults);
                if (pos < mdat_begin || pos > mdat_end || s.size > mdat_end - pos) {
                    whole = false;
                    break;
                }
                if (track) {
                    track->samples.push_back(Sample{pos, s.size, s.duration, int32_t(s.composition_offset),
                                                    is_sync_sample(s.flags), 0});
                    running[index].end += s.duration;
                    if (track->protection)
                        if (auto info = aux.take(file_size)) track->aux_info.push_back(*info);
                }
                pos += s.size;
            }
            aux.traf_sample += uint32_t(run->sample_count - i);
            if (whole) next_run = pos;
            else next_run.reset();
            traf_end = pos;
        }
        if (traf_end) previous_traf_end = *traf_end;
    }
    return {};
}

}  // namespace

Result<void> collect_fragment_samples(ByteSpan file, const std::vector<Box>& top_level,
                                      const std::vector<Box>& moov_children, std::vector<Track>& tracks) {
    std::vector<Running> running(tracks.size());
    Lookup lookup{{}, read_trex_table(moov_children)};
    for (size_t k = 0; k < tracks.size(); ++k) lookup.track_index.try_emplace(tracks[k].track_id, k);
    const Box* pending = nullptr;
    for (const auto& b : top_level) {
        if (b.type == box::moof) {
            pending = &b;
        } else if (b.type == box::mdat && pending) {
            MORVEX_CHECK(read_moof(file.size(), *pending, b, lookup, tracks, running));
            pending = nullptr;
        }
    }
    return {};
}

}  // namespace morvex
