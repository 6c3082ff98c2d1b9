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
    p.write = [f, fragments](std::span<uint8_t> out) {
        uint8_t* at = out.data();
        std::memcpy(at, f->init.data(), f->init.size());
        at += f->init.size();
        for (const auto& fragment : *fragments) at = write_fragment(fragment, at);
    };
    return p;
}

Result<Bytes> convert_ts_to_fmp4(ByteSpan data, std::string& report) {
    return MORVEX_TRY(plan_convert_ts_to_fmp4(data, report)).to_bytes();
}

}  // namespace morvex
