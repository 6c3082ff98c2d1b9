#include "roads/ts_to_fmp4.h"

#include <cstring>
#include <memory>

#include "common/messages.h"
#include "roads/ts_fragmenting.h"

namespace morvex {

Result<PlannedOutput> plan_convert_ts_to_fmp4(ByteSpan data, std::string& report) {
    if (data.empty() || std::memchr(data.data(), kTsSyncByte, data.size()) == nullptr) return invalid(msg::kNoSync);
    auto f = std::make_shared<TsFragmenting>();
    f->reader.video.es.window = data.data();
    auto fragments = std::make_shared<std::vector<MovieFragment>>();
    auto read = fragment_ts(*f, StreamBytes{data, 0, true}, *fragments);
    report += ts_report(f->reader);
    MORVEX_CHECK(read);
    if (!f->movie) {
        auto movie = ts_movie(f->reader, true);
        if (!movie) return std::unexpected(movie.error());
        return invalid(msg::kNoVideo);
    }
    point_tracks_at(*f->movie, f->reader);
    uint64_t size = f->init.size();
    for (const auto& fragment : *fragments) size += fragment_size(fragment);
    PlannedOutput p;
    p.size = size_t(size);
    p.write = [f, fragments](OutputBuffer& out) {
        copy_to(out, 0, f->init.data(), f->init.size());
        size_t at = f->init.size();
        for (const auto& fragment : *fragments) {
            const size_t n = size_t(fragment_size(fragment));
            check_end(out, at, n, write_fragment(fragment, take(out, at, n)));
            at += n;
        }
        if (at != out.size()) throw OutputOverrun();
    };
    return p;
}

Result<Bytes> convert_ts_to_fmp4(ByteSpan data, std::string& report) {
    return MORVEX_TRY(plan_convert_ts_to_fmp4(data, report)).to_bytes();
}

}  // namespace morvex
