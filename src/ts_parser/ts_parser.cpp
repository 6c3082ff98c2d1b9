#include "ts_parser/ts_parser.h"
namespace morvex {
Result<MediaData> parse_ts_packets(ByteSpan data, std::string&) {
    if (data.empty()) return fail(ErrorKind::InvalidData, "No valid TS sync byte found");
    return MediaData{};
}
Result<MediaData> parse_ts_packets(ByteSpan data) { std::string r; return parse_ts_packets(data, r); }
}
