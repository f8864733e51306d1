// Dataset evolution without Python: the scorer of the run driver that
// scores pools on shuffled batches of a dataset and validates on another.
// The caller converts the data, checks the arguments and writes the result
// back into the model.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "network/network.hpp"
#include "training/driver.hpp"
#include "training/losses.hpp"

namespace tessavo {

struct EvolveSettings {
    int32_t pop_size = 100;   // at least 1
    int32_t batch_size = -1;  // -1 for the whole dataset, else at least 1
    int32_t epochs = 100;     // at least 0
    int32_t verbose = 1;
    std::vector<int32_t> codes;  // the loss, then the metrics
    std::vector<int32_t> monitors;
    // Runs the scoring of a batch or of validation data, which touches
    // nothing outside the run; the bindings release the interpreter lock
    // around it. Empty: called directly.
    std::function<void(const std::function<void()>&)> scoring_section;
    // Builds the optimizer; empty: Alpha.
    OptimizerFactory optimizer;
};

using EvolveHistory = RunHistory;
using EvolveResult = RunResult;

// Reorders x and y by one permutation drawn from rand() (or from the C
// generator of a scope of draws), keeping pairs.
void shuffle_together(SeriesBlock& x, SeriesBlock& y);

// ceil(samples / batch) in exact integer arithmetic.
int64_t batch_count(int64_t samples, int64_t batch);

// Runs the whole training from start (which is not changed); the data is
// read in place, or copied when batches are shuffled. It must be non-empty
// and checked, and stay valid during the call. Returns as run_epochs: false
// (result untouched) when a hook ended the run as a failure. Operator
// failures throw BrokenNetwork.
bool evolve_dataset(const Network& start, const SeriesView& x, const SeriesView& y,
                    const SeriesView* x_val, const SeriesView* y_val,
                    const EvolveSettings& settings, const RunHooks& hooks, EvolveResult& result);

}  // namespace tessavo
