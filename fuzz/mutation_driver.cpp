// Runs a fuzz target without libFuzzer, for compilers that lack it: every
// file named on the command line is run as it is, then `MORVEX_FUZZ_RUNS`
// (default 10000) mutations of them: random byte changes, insertions,
// deletions and truncations, from the seed `MORVEX_FUZZ_SEED` (default 1),
// so that a failure repeats.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        corpus.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(corpus.back().data(), corpus.back().size());
    }
    if (corpus.empty()) corpus.emplace_back();
    const char* runs_env = std::getenv("MORVEX_FUZZ_RUNS");
    const long runs = runs_env ? std::atol(runs_env) : 10000;
    const char* seed_env = std::getenv("MORVEX_FUZZ_SEED");
    std::mt19937_64 rng(seed_env ? std::strtoull(seed_env, nullptr, 10) : 1);
    for (long run = 0; run < runs; ++run) {
        std::vector<uint8_t> d = corpus[rng() % corpus.size()];
        if (rng() % 4 == 0 && !d.empty()) d.resize(rng() % d.size());
        const int edits = 1 + int(rng() % 32);
        for (int e = 0; e < edits; ++e) {
            const size_t at = d.empty() ? 0 : rng() % d.size();
            switch (rng() % 4) {
                case 0:
                case 1:
                    if (!d.empty()) d[at] = uint8_t(rng());
                    break;
                case 2:
                    d.insert(d.begin() + long(at), uint8_t(rng()));
                    break;
                case 3:
                    if (!d.empty()) d.erase(d.begin() + long(at), d.begin() + long(std::min(d.size(), at + rng() % 64)));
                    break;
            }
        }
        LLVMFuzzerTestOneInput(d.data(), d.size());
    }
    std::fprintf(stderr, "%ld mutated inputs run\n", runs);
    return 0;
}
