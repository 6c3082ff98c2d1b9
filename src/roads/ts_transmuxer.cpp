#include "roads/ts_transmuxer.h"

#include <algorithm>
#include <cstring>

#include "common/messages.h"

namespace morvex {
namespace {

void append(Bytes& to, ByteSpan bytes) {
    const size_t at = to.size();
    to.resize(at + bytes.size());
    if (!bytes.empty()) std::memcpy(to.data() + at, bytes.data(), bytes.size());
}

// Reads what has arrived and writes the fragments it completes; then gives
// back the input no longer needed.
Result<Bytes> run(TsTransmuxer& t, bool final) {
    TsFragmenting& f = t.session;
    f.reader.video.es.window = t.input.data();
    f.reader.video.es.window_at = t.input_at;
    std::vector<MovieFragment> fragments;
    MORVEX_CHECK(fragment_ts(f, StreamBytes{ByteSpan(t.input), t.input_at, final}, fragments));
    Bytes out;
    if (!fragments.empty()) {
        point_tracks_at(*f.movie, f.reader);
        if (!t.init_given) {
            t.init = f.init;
            out = f.init;
            t.init_given = true;
        }
        uint64_t size = out.size();
        for (const auto& fragment : fragments) size += fragment_size(fragment);
        const size_t at = out.size();
        out.resize(size_t(size));
        uint8_t* p = out.data() + at;
        for (const auto& fragment : fragments) p = write_fragment(fragment, p);
    }
    // The input before the first byte still needed goes; the buffer is
    // moved once half of it is unused, so the work stays linear.
    const uint64_t needed = std::max(t.input_at, std::min(drop_written(f), t.input_at + t.input.size()));
    const size_t unused = size_t(needed - t.input_at);
    if (unused > 0 && (unused * 2 >= t.input.size() || final)) {
        t.input.erase(t.input.begin(), t.input.begin() + ptrdiff_t(unused));
        t.input_at = needed;
        f.reader.video.es.window = t.input.data();
        f.reader.video.es.window_at = t.input_at;
    }
    return out;
}

}  // namespace

Result<Bytes> transmux_push(TsTransmuxer& t, ByteSpan segment, bool end_of_segment) {
    if (!t.sync_seen && !segment.empty()) {
        if (std::memchr(segment.data(), kTsSyncByte, segment.size()) == nullptr) return invalid(msg::kNoSync);
        t.sync_seen = true;
    }
    append(t.input, segment);
    return run(t, end_of_segment);
}

Result<Bytes> transmux_flush(TsTransmuxer& t) { return run(t, true); }

std::string transmux_report(const TsTransmuxer& t) { return ts_report(t.session.reader); }

void transmux_reset(TsTransmuxer& t) { t = TsTransmuxer{}; }

}  // namespace morvex
