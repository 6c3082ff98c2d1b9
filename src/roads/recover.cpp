#include "roads/recover.h"

#include <memory>

#include "mp4/regular_writer.h"
#include "recover/recovered_movie.h"

namespace morvex {

Result<PlannedOutput> plan_recover_mp4(ByteSpan data, std::optional<ByteSpan> reference) {
    auto recovered = std::make_shared<const RecoveredMovie>(MORVEX_TRY(recovered_movie(data, reference)));
    // The movie lives inside what it was recovered with (its templates).
    return plan_regular_mp4(std::shared_ptr<const Movie>(recovered, &recovered->movie));
}

Result<Bytes> recover_mp4(ByteSpan data, std::optional<ByteSpan> reference) {
    return MORVEX_TRY(plan_recover_mp4(data, reference)).to_bytes();
}

}  // namespace morvex
