// The default optimizer: a population of P parents breeds 2P children by
// crossover and mutation, and tournaments of four over the parents and the
// first P children choose the next parents.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "network/network.hpp"
#include "training/optimizer.hpp"
#include "training/population.hpp"

namespace tessavo {

struct Population {
    std::vector<Network> members;
    std::vector<LossRow> losses;  // row i belongs to member i
    // Networks the last generation left out; the next one builds its
    // children in their buffers instead of allocating.
    std::vector<Network> spare;
    // Loss rows the last generation left out, reused by the next one's pool.
    std::vector<LossRow> spare_rows;
};

// Member 0 is an unchanged clone, members 1 .. count-1 mutated clones, each
// bred on the pool from an engine of its own (breeding.hpp).
std::vector<Network> seed_population(const Network& network, int32_t count);

// Parent 0, child 0, parent 1, child 1, ...: the first P children only.
// The networks are moved; parents is left empty and children holds the
// children that the pool leaves out.
std::vector<Network> build_pool(std::vector<Network>&& parents, std::vector<Network>&& children);

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

// Alpha's crossover of the parents into 2 * parents.size() children, and
// the mutation of every child, bred on the pool: each pair of children draws
// from an engine of its own (breeding.hpp), in the order the serial
// operators draw. Lines and BrokenNetwork as crossover_population followed
// by mutate_population. children's networks' buffers are reused.
void breed_alpha_children(const std::vector<Network>& parents, const std::vector<double>& scores,
                          std::vector<Network>& children);

// One generation: crossover on the last scores, mutation of every child,
// the pool, its scores, and selection into population. False when the
// scorer failed; population is then unusable and the run ends. Operator
// failures throw BrokenNetwork.
bool run_generation(Population& population, const PoolScorer& score);

// Alpha behind the optimizer interface. The first population is
// seed_population's, every row of row_width zeros until it is scored.
class AlphaSearch final : public Optimizer {
public:
    AlphaSearch(const Network& start, int32_t pop_size, std::size_t row_width);

    bool run_generation(const PoolScorer& score) override;
    const std::vector<Network>& members() const override { return population_.members; }
    const std::vector<LossRow>& losses() const override { return population_.losses; }
    void write_state(StateWriter& out) const override;
    void read_state(StateReader& in) override;

private:
    Population population_;
};

OptimizerFactory alpha_optimizer();

}  // namespace tessavo
