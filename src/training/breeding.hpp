// Breeding on the worker pool: every item (a child, a pair of children)
// draws from an engine of its own, derived from the generation's seed and
// the item's index, so a seeded run repeats bit for bit on any number of
// threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "random/engine.hpp"

namespace tessavo {

// The generation's seed: 64 bits of one fresh draw of the calling thread.
uint64_t generation_seed();

// Runs breed(i, engine) for every i in [0, count) on the pool and the
// calling thread, in chunks. While item i runs, every draw made on its thread
// (fresh draws, seeds of new engines, random_activation, random_int) comes
// from derived_engine(seed, i), which is also the engine passed in. breed
// must not touch the console or Python. work is a rough cost of all items
// in multiply-adds: small jobs run on the calling thread alone, with the
// same engines. The first exception is rethrown after every chunk stopped.
void breed_in_parallel(std::size_t count, uint64_t seed, double work,
                       const std::function<void(std::size_t, RandomEngine&)>& breed);

}  // namespace tessavo
