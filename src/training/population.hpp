// What every optimizer shares: loss rows, the scoring of a pool on a
// dataset, the memory check of a population and the choice of the best.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "network/network.hpp"
#include "training/losses.hpp"

namespace tessavo {

// One double per compiled code; entry 0 alone ranks networks (lower wins).
using LossRow = std::vector<double>;

// The ranking loss of a row; NaN for an empty row, which then never wins.
double primary_loss(const LossRow& row);

// Throws std::bad_alloc (MemoryShortage) when a run with count members of
// this network's size could not hold its population, children and pool, and
// other_bytes besides (the converted data), in the memory it can get.
void check_population_fits(const Network& network, int64_t count, long double other_bytes = 0);

// One loss row per pool member, in pool order, each member scored on the
// whole of x and y. Large pools are shared out over the worker threads in
// chunks; every member is scored on its own, so the rows do not depend on
// the number of threads.
std::vector<LossRow> evaluate_pool(std::vector<Network>& pool, const SeriesView& x,
                                   const SeriesView& y, const std::vector<int32_t>& codes);
// The same into rows, resized to the pool, reusing the rows it holds.
void evaluate_pool_into(std::vector<Network>& pool, const SeriesView& x, const SeriesView& y,
                        const std::vector<int32_t>& codes, std::vector<LossRow>& rows);

// First index with the smallest primary loss below the largest finite
// double; none when every loss is NaN, infinite or that large.
std::optional<std::size_t> find_best(const std::vector<LossRow>& losses);

// Scores a pool in pool order into rows (which may hold rows to reuse);
// returns false when scoring failed in a way
// the caller reports itself (a Python exception, for instance).
using PoolScorer = std::function<bool(std::vector<Network>& pool, std::vector<LossRow>& rows)>;

}  // namespace tessavo
