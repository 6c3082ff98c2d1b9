#include "media/sample_budget.h"

#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "isobmff/fragment_boxes.h"
#include "media/stbl_samples.h"

namespace morvex {
namespace {

struct Budget {
    uint64_t file_size;
    uint64_t samples = 0;
    uint64_t empty = 0;

    Result<void> add(uint64_t count, bool of_no_bytes) {
        samples += count;
        if (of_no_bytes) empty += count;
        if (samples > file_size / 4) return invalid(msg::too_many_samples(file_size / 4));
        if (empty > file_size / 8) return invalid(msg::too_many_samples(file_size / 8));
        return {};
    }
};

// The stbl of a trak, as read_trak finds it.
std::optional<Box> sample_table(const Box& trak) {
    auto parts = child_boxes(trak);
    if (!parts) return std::nullopt;
    const Box* mdia = first_of(*parts, box::mdia);
    if (!mdia) return std::nullopt;
    auto media = child_boxes(*mdia);
    if (!media) return std::nullopt;
    const Box* minf = first_of(*media, box::minf);
    if (!minf) return std::nullopt;
    auto stbl = find_child(*minf, box::stbl);
    return stbl ? *stbl : std::nullopt;
}

Result<void> count_fragments(ByteSpan file, const Box& moof, const TrexTable& trex, Budget& budget) {
    auto trafs = child_boxes(moof);
    if (!trafs) return {};
    for (const auto& traf : *trafs) {
        if (traf.type != box::traf) continue;
        auto parts = child_boxes(traf);
        if (!parts) continue;
        const TfhdFields tfhd = read_traf_header(*parts);
        const SampleDefaults defaults = merge_defaults(tfhd, trex.of(tfhd.track_id));
        for (const auto& b : *parts) {
            if (b.type != box::trun) continue;
            auto run = read_trun(b.payload());
            if (!run) continue;
            // Every sample has a record in the run or bytes in the file, so a
            // count above the file's length describes nothing real.
            if (run->sample_count > file.size()) return invalid(msg::trun_count_too_large(run->sample_count, file.size()));
            MORVEX_CHECK(budget.add(run->present(), run->stride == 0 && defaults.size == 0));
        }
    }
    return {};
}

}  // namespace

Result<void> check_sample_budget(ByteSpan file, const std::vector<Box>& top_level,
                                 const std::vector<Box>& moov_children) {
    Budget budget{file.size()};
    for (const auto& trak : moov_children) {
        if (trak.type != box::trak) continue;
        const auto stbl = sample_table(trak);
        if (!stbl) continue;
        auto sizes = read_sample_sizes(file, *stbl);
        if (!sizes || !*sizes) continue;
        MORVEX_CHECK(budget.add((*sizes)->count, false));
    }
    const TrexTable trex = read_trex_table(moov_children);
    for (const auto& b : top_level)
        if (b.type == box::moof) MORVEX_CHECK(count_fragments(file, b, trex, budget));
    return {};
}

}  // namespace morvex
