// libFuzzer target: the access-unit cutter on an MPEG-2 video elementary
// stream (the input). The stream arrives in pieces of (last byte + 1) * 16
// bytes and whole: both must give the same units, each inside the stream,
// one after the other, with the same picture kind, order and field.
#include <algorithm>
#include <vector>

#include "fuzz_input.h"
#include "ts/access_units.h"

namespace {

std::vector<morvex::AccessUnit> cut(morvex::ByteSpan stream, size_t piece) {
    using namespace morvex;
    SourcePieces es;
    es.window = stream.data();
    AccessUnitCutter c;
    c.codec = VideoCodec::Mpeg2;
    c.scanner.four_byte_codes = false;
    std::vector<AccessUnit> units;
    auto take = [&](const AccessUnit& u) { units.push_back(u); };
    for (size_t at = 0; at < stream.size(); at += piece) {
        es.add(stream.subspan(at, std::min(piece, stream.size() - at)));
        cut_access_units(c, es, take);
    }
    finish_access_units(c, es, take);
    return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    morvex::fuzz::Input in{{data, size}};
    const size_t piece = (size_t(in.take_byte()) + 1) * 16;
    const auto whole = cut(in.rest, in.rest.size() + 1);
    uint64_t end = 0;
    for (const auto& u : whole) {
        if (u.start < end || u.start + u.bytes > in.rest.size() || u.nal_count != 0) __builtin_trap();
        end = u.start + u.bytes;
    }
    const auto pieces = cut(in.rest, piece);
    if (pieces.size() != whole.size()) __builtin_trap();
    for (size_t k = 0; k < whole.size(); ++k) {
        const auto &a = whole[k], &b = pieces[k];
        if (a.start != b.start || a.bytes != b.bytes || a.idr != b.idr || a.order != b.order || a.period != b.period ||
            a.field != b.field || a.closed_gop != b.closed_gop)
            __builtin_trap();
    }
    return 0;
}
