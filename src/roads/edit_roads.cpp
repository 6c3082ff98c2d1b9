#include "roads/edit_roads.h"

#include <memory>
#include <vector>

#include "mp4/regular_writer.h"
#include "ops/join.h"
#include "roads/movie_input.h"

namespace morvex {

Result<PlannedOutput> plan_clip(ByteSpan data, const ClipRange& range, std::string& report) {
    auto input = MORVEX_TRY(read_movie(data, report));
    auto clipped = std::make_shared<const Movie>(MORVEX_TRY(clip_movie(input->movie, range)));
    return plan_regular_mp4(clipped, input);
}

Result<PlannedOutput> plan_concat(std::span<const ByteSpan> parts, std::string& report) {
    if (parts.empty()) return invalid("Nothing to join: no parts");
    auto inputs = std::make_shared<std::vector<std::shared_ptr<MovieInput>>>();
    std::vector<const Movie*> movies;
    for (size_t k = 0; k < parts.size(); ++k) {
        auto input = read_movie(parts[k], report);
        if (!input) return invalid("Part " + std::to_string(k) + ": " + input.error().message);
        inputs->push_back(*input);
        movies.push_back(&(*input)->movie);
    }
    std::shared_ptr<JoinedMovie> joined = MORVEX_TRY(join_movies(movies));
    struct Held {
        std::shared_ptr<std::vector<std::shared_ptr<MovieInput>>> inputs;
        std::shared_ptr<JoinedMovie> joined;
    };
    auto held = std::make_shared<Held>(Held{inputs, joined});
    return plan_regular_mp4(std::shared_ptr<const Movie>(joined, &joined->movie), held);
}

}  // namespace morvex
