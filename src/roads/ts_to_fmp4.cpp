#include "roads/ts_to_fmp4.h"

#include <memory>

#include "mp4/fragmented_writer.h"
#include "roads/ts_to_mp4.h"

namespace morvex {

Result<PlannedOutput> plan_convert_ts_to_fmp4(ByteSpan data, std::string& report) {
    auto c = std::make_shared<TsConversion>(MORVEX_TRY(plan_ts_to_mp4(data, report)));
    return plan_fragmented_mp4(std::shared_ptr<const Movie>(c, &c->movie), c);
}

Result<Bytes> convert_ts_to_fmp4(ByteSpan data, std::string& report) {
    return MORVEX_TRY(plan_convert_ts_to_fmp4(data, report)).to_bytes();
}

}  // namespace morvex
