// An optimizer as the run driver sees it: a population that one generation
// at a time breeds, is scored and selects. Alpha and Beta implement it; the
// bindings map each Python optimizer type to a factory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "network/network.hpp"
#include "training/population.hpp"
#include "training/run_state.hpp"

namespace tessavo {

class Optimizer {
public:
    virtual ~Optimizer() = default;

    // One generation: breeding from the last scores (the first call scores
    // the first population as it is, or breeds from it, as the optimizer
    // does), scoring through score, and selection. False when the scorer
    // failed; the optimizer is then unusable and the run ends. Operator
    // failures throw BrokenNetwork.
    virtual bool run_generation(const PoolScorer& score) = 0;

    // The members after the last generation and their loss rows, row i
    // belonging to member i. Before the first generation: the first
    // population, with rows that mean nothing.
    virtual const std::vector<Network>& members() const = 0;
    virtual const std::vector<LossRow>& losses() const = 0;

    // Everything the next generations depend on, so that a run can continue
    // from it exactly; read_state expects an optimizer made by the same
    // factory with the same arguments. StateError on a state it cannot use.
    virtual void write_state(StateWriter& out) const = 0;
    virtual void read_state(StateReader& in) = 0;
};

// Builds the first population of a run: pop_size networks around start,
// each of whose loss rows will hold row_width values. Nothing is scored yet.
using OptimizerFactory = std::function<std::unique_ptr<Optimizer>(
    const Network& start, int32_t pop_size, std::size_t row_width)>;

}  // namespace tessavo
