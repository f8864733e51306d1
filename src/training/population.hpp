// The generational scheme shared by both training drivers: seeding, the pool
// of parents and children, its scoring, tournament selection and the best.
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

struct Population {
    std::vector<Network> members;
    std::vector<LossRow> losses;  // row i belongs to member i
    // Networks the last generation left out; the next one builds its
    // children in their buffers instead of allocating.
    std::vector<Network> spare;
    // Loss rows the last generation left out, reused by the next one's pool.
    std::vector<LossRow> spare_rows;
};

// The ranking loss of a row; NaN for an empty row, which then never wins.
double primary_loss(const LossRow& row);

// Throws std::bad_alloc (MemoryShortage) when a run with count members of
// this network's size could not hold its population, children and pool, and
// other_bytes besides (the converted data), in the memory it can get.
void check_population_fits(const Network& network, int64_t count, long double other_bytes = 0);

// Member 0 is an unchanged clone, members 1 .. count-1 mutated clones, each
// bred on the pool from an engine of its own (breeding.hpp).
std::vector<Network> seed_population(const Network& network, int32_t count);

// Parent 0, child 0, parent 1, child 1, ...: the first P children only.
// The networks are moved; parents is left empty and children holds the
// children that the pool leaves out.
std::vector<Network> build_pool(std::vector<Network>&& parents, std::vector<Network>&& children);

// One loss row per pool member, in pool order, each member scored on the
// whole of x and y. Large pools are shared out over the worker threads in
// chunks; every member is scored on its own, so the rows do not depend on
// the number of threads.
std::vector<LossRow> evaluate_pool(std::vector<Network>& pool, const SeriesView& x,
                                   const SeriesView& y, const std::vector<int32_t>& codes);
// The same into rows, resized to the pool, reusing the rows it holds.
void evaluate_pool_into(std::vector<Network>& pool, const SeriesView& x, const SeriesView& y,
                        const std::vector<int32_t>& codes, std::vector<LossRow>& rows);

// Winners of count tournaments over the shuffled places (4 * count pool
// indices): each group of four is won by its first member unless a later
// one has a strictly lower primary loss than the winner so far.
std::vector<int32_t> tournament_winners(const std::vector<LossRow>& pool_losses,
                                        const std::vector<int32_t>& places, int32_t count);

// count survivors by tournaments of four over the 2 * count pool members,
// every member holding two shuffled places. The pool is consumed: a
// winner's network is moved at its last win and copied before that; the
// networks that win nothing become the survivors' spare, and their rows
// spare_rows.
Population select_survivors(std::vector<Network>&& pool, std::vector<LossRow>&& pool_losses,
                            int32_t count);

// First index with the smallest primary loss below the largest finite
// double; none when every loss is NaN, infinite or that large.
std::optional<std::size_t> find_best(const std::vector<LossRow>& losses);

// Alpha's crossover of the parents into 2 * parents.size() children, and
// the mutation of every child, bred on the pool: each pair of children draws
// from an engine of its own (breeding.hpp), in the order the serial
// operators draw. Lines and BrokenNetwork as crossover_population followed
// by mutate_population. children's networks' buffers are reused.
void breed_alpha_children(const std::vector<Network>& parents, const std::vector<double>& scores,
                          std::vector<Network>& children);

// Scores a pool in pool order into rows (which may hold rows to reuse);
// returns false when scoring failed in a way
// the caller reports itself (a Python exception, for instance).
using PoolScorer = std::function<bool(std::vector<Network>& pool, std::vector<LossRow>& rows)>;

// One generation: crossover on the last scores, mutation of every child,
// the pool, its scores, and selection into population. False when the
// scorer failed; population is then unusable and the run ends. Operator
// failures throw BrokenNetwork.
bool run_generation(Population& population, const PoolScorer& score);

}  // namespace tessavo
