#include "mp4/fragmenter.h"

#include "isobmff/fourcc.h"

namespace morvex {
namespace {

constexpr uint64_t kGroupSeconds = 10;
constexpr uint64_t kGroupBytes = uint64_t(8) << 20;
constexpr uint64_t kFragmentBytes = 1024;
constexpr uint64_t kAheadSeconds = 10;

struct Clock {
    uint64_t time;
    uint32_t timescale;
};

bool earlier(const Clock& a, const Clock& b) {
    return (unsigned __int128)a.time * b.timescale < (unsigned __int128)b.time * a.timescale;
}

// The samples of track `k` from its front while `more` says so.
template <typename More>
TrackRun take_run(FragmenterTrack& t, More&& more) {
    TrackRun run;
    run.track = t.track;
    run.track_id = t.track->track_id;
    run.decode_time = t.time;
    run.default_flags = t.track->handler == box::vide ? kNonSyncSampleFlags : kSyncSampleFlags;
    while (!t.pending.empty() && more(t)) {
        const Sample& s = t.pending.front();
        run.samples.push_back(s);
        t.time += s.duration;
        t.pending.pop_front();
    }
    return run;
}

}  // namespace

void fragmenter_add_track(Fragmenter& f, const Track* track, uint64_t start) {
    if (f.tracks.empty() || (f.tracks[f.lead].track->handler != box::vide && track->handler == box::vide))
        f.lead = f.tracks.size();
    f.tracks.push_back(FragmenterTrack{track, {}, start, start});
}

void fragmenter_add(Fragmenter& f, size_t k, const Sample& s) {
    FragmenterTrack& t = f.tracks[k];
    t.pending.push_back(s);
    t.pending_end += s.duration;
    if (k != f.lead) return;
    const uint64_t timescale = t.track->timescale ? t.track->timescale : 1;
    const bool long_group = f.open_duration >= kGroupSeconds * timescale || f.open_bytes >= kGroupBytes;
    // A lead without pictures (audio alone), whose every sample is a sync
    // sample, is cut into groups of a second.
    const bool starts = t.track->handler == box::vide ? s.sync : f.open_duration >= timescale;
    if (f.open_count > 0 && (starts || long_group)) {
        f.groups.push_back(Fragmenter::Group{f.open_count, f.open_duration, f.open_bytes});
        f.open_count = 0;
        f.open_duration = 0;
        f.open_bytes = 0;
    }
    ++f.open_count;
    f.open_duration += s.duration;
    f.open_bytes += s.size;
}

const Sample* fragmenter_first(const Fragmenter& f, size_t k) {
    return f.tracks[k].pending.empty() ? nullptr : &f.tracks[k].pending.front();
}

std::vector<MovieFragment> fragmenter_take(Fragmenter& f, bool final) {
    std::vector<MovieFragment> out;
    if (f.tracks.empty()) return out;
    FragmenterTrack& lead = f.tracks[f.lead];
    auto fragment = [&](size_t count, const Clock* until) {
        MovieFragment m;
        m.sequence = f.sequence;
        m.runs.resize(f.tracks.size());
        size_t left = count;
        m.runs[f.lead] = take_run(lead, [&](const FragmenterTrack&) { return left-- > 0; });
        for (size_t k = 0; k < f.tracks.size(); ++k)
            if (k != f.lead)
                m.runs[k] = take_run(f.tracks[k], [&](const FragmenterTrack& t) {
                    return !until || earlier(Clock{t.time, t.track->timescale}, *until);
                });
        bool any = false;
        for (const auto& r : m.runs) any |= !r.samples.empty();
        if (any) {
            out.push_back(std::move(m));
            ++f.sequence;
        }
    };
    while (!f.groups.empty()) {
        // The groups of the next fragment: 1 KB of samples at least.
        size_t groups = 0, count = 0;
        uint64_t duration = 0, bytes = 0;
        while (groups < f.groups.size() && (groups == 0 || bytes < kFragmentBytes)) {
            const Fragmenter::Group& g = f.groups[groups++];
            count += g.count;
            duration += g.duration;
            bytes += g.bytes;
        }
        if (bytes < kFragmentBytes && !final) break;
        const Clock until{lead.time + duration, lead.track->timescale};
        if (!final && f.groups.size() - groups < 2) {
            // The other tracks' samples up to the fragment's end have arrived?
            bool covered = true;
            for (size_t k = 0; k < f.tracks.size(); ++k)
                if (k != f.lead && earlier(Clock{f.tracks[k].pending_end, f.tracks[k].track->timescale}, until))
                    covered = false;
            if (!covered) break;
        }
        fragment(count, &until);
        f.groups.erase(f.groups.begin(), f.groups.begin() + ptrdiff_t(groups));
    }
    // A track far ahead of the lead's last sample is written on its own.
    if (!final) {
        const Clock lead_end{lead.pending_end, lead.track->timescale};
        for (size_t k = 0; k < f.tracks.size(); ++k) {
            FragmenterTrack& t = f.tracks[k];
            const uint64_t ahead = kAheadSeconds * t.track->timescale;
            if (k == f.lead || t.pending_end < ahead || !earlier(lead_end, Clock{t.pending_end - ahead, t.track->timescale}))
                continue;
            MovieFragment m;
            m.sequence = f.sequence;
            m.runs.resize(f.tracks.size());
            const Clock until{t.pending_end - ahead, t.track->timescale};
            m.runs[k] = take_run(t, [&](const FragmenterTrack& x) { return earlier(Clock{x.time, x.track->timescale}, until); });
            if (m.runs[k].samples.empty()) continue;
            out.push_back(std::move(m));
            ++f.sequence;
        }
    }
    if (final) {
        // The open group, with all that the other tracks have left.
        fragment(f.open_count, nullptr);
        f.open_count = 0;
        f.open_duration = 0;
        f.open_bytes = 0;
    }
    return out;
}

}  // namespace morvex
