#include "roads/ts_to_mp4.h"

#include "mp4/regular_writer.h"
#include "roads/ts_input.h"

namespace morvex {

Result<PlannedOutput> plan_convert_ts_to_mp4(ByteSpan data, std::string& report) {
    auto in = MORVEX_TRY(read_ts_input(data, report));
    const Movie& movie = in->movie->movie;
    return plan_regular_mp4(std::shared_ptr<const Movie>(in, &movie), in);
}

Result<Bytes> convert_ts_to_mp4(ByteSpan data, std::string& report) {
    return MORVEX_TRY(plan_convert_ts_to_mp4(data, report)).to_bytes();
}

}  // namespace morvex
