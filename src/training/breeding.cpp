#include "training/breeding.hpp"

#include <algorithm>

#include "random/sources.hpp"
#include "training/workers.hpp"

namespace tessavo {

namespace {

// Below this much work, waking the pool costs more than it saves.
constexpr double breeding_threshold = 2.0e4;

}  // namespace

uint64_t generation_seed() {
    RandomEngine& engine = fresh_stream().engine();
    const uint64_t low = engine();
    return low | static_cast<uint64_t>(engine()) << 32;
}

void breed_in_parallel(std::size_t count, uint64_t seed, double work,
                       const std::function<void(std::size_t, RandomEngine&)>& breed) {
    auto run = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            ItemDraws draws(derived_engine(seed, i));
            breed(i, draws.engine());
        }
    };
    // A small job is one chunk, which the calling thread runs alone.
    const std::size_t chunk =
        work < breeding_threshold
            ? count
            : std::max<std::size_t>(1, count / (8 * static_cast<std::size_t>(worker_threads())));
    parallel_chunks(count, chunk, run);
}

}  // namespace tessavo
