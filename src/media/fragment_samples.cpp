#include "media/fragment_samples.h"

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/fragment_boxes.h"

namespace morvex {
namespace {

Result<void> read_moof(const Box& moof, const Box& mdat, const std::vector<Box>& moov_children,
                       std::vector<Track>& tracks) {
    const uint64_t mdat_begin = mdat.payload_offset(), mdat_end = mdat.end();
    // Data of a traf without an explicit base follows the previous traf's
    // data (8.8.7.1); the first one starts at the moof.
    uint64_t previous_traf_end = moof.offset;
    for (const auto& traf : MORVEX_TRY(child_boxes(moof))) {
        if (traf.type != box::traf) continue;
        auto parts = MORVEX_TRY(child_boxes(traf));
        const TfhdFields tfhd = read_traf_header(parts);
        Track* track = nullptr;
        for (auto& t : tracks)
            if (t.track_id == tfhd.track_id) {
                track = &t;
                break;
            }
        const SampleDefaults defaults = merge_defaults(tfhd, trex_defaults(moov_children, tfhd.track_id));
        const uint64_t base = tfhd.base_data_offset               ? *tfhd.base_data_offset
                              : (tfhd.tf_flags & kTfDefaultBaseIsMoof) ? moof.offset
                                                                       : previous_traf_end;
        if (track && track->samples.empty() && !track->start_time)
            if (const Box* tfdt_box = first_of(parts, box::tfdt))
                if (auto tfdt = read_tfdt(tfdt_box->payload())) track->start_time = tfdt->time;
        std::optional<uint64_t> next_run;  // end of the previous run's bytes
        std::optional<uint64_t> traf_end;
        for (const auto& b : parts) {
            if (b.type != box::trun) continue;
            auto run = read_trun(b.payload());
            if (!run) continue;
            std::optional<uint64_t> start;
            if (run->data_offset) start = base + uint64_t(int64_t(*run->data_offset));
            else start = next_run;  // the first run of a traf needs an offset
            if (!start) {
                next_run.reset();
                continue;
            }
            // Samples are kept while their bytes lie inside this mdat's
            // payload; the first that does not ends the run, as does a
            // missing record of a truncated run.
            const uint64_t present = run->present();
            uint64_t pos = *start;
            bool whole = present == run->sample_count;
            for (uint64_t i = 0; i < present; ++i) {
                const RunSample s = run->sample(size_t(i), defaults);
                if (pos < mdat_begin || pos > mdat_end || s.size > mdat_end - pos) {
                    whole = false;
                    break;
                }
                if (track)
                    track->samples.push_back(Sample{pos, s.size, s.duration, int32_t(s.composition_offset),
                                                    is_sync_sample(s.flags), 0});
                pos += s.size;
            }
            if (whole) next_run = pos;
            else next_run.reset();
            traf_end = pos;
        }
        if (traf_end) previous_traf_end = *traf_end;
    }
    return {};
}

}  // namespace

Result<void> collect_fragment_samples(const std::vector<Box>& top_level,
                                      const std::vector<Box>& moov_children, std::vector<Track>& tracks) {
    const Box* pending = nullptr;
    for (const auto& b : top_level) {
        if (b.type == box::moof) {
            pending = &b;
        } else if (b.type == box::mdat && pending) {
            MORVEX_CHECK(read_moof(*pending, b, moov_children, tracks));
            pending = nullptr;
        }
    }
    return {};
}

}  // namespace morvex
