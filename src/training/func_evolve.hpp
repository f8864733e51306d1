// Function evolution without Python: the scorer of the run driver that hands
// every generation's pool to the caller's scoring function and validates the
// best network with the caller's validation function.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "network/network.hpp"
#include "training/driver.hpp"

namespace tessavo {

struct FunctionSettings {
    int32_t pop_size = 100;  // at least 1
    int32_t epochs = 100;    // at least 0
    int32_t verbose = 1;
    std::vector<int32_t> monitors;
    // Builds the optimizer; empty: Alpha.
    OptimizerFactory optimizer;
};

// The caller's functions (the bindings call Python in them).
struct FunctionScoring {
    // One row per pool member of the epoch's generation; entry 0 ranks.
    // Recurrent networks come with their state cleared: every one starts a
    // fresh sequence.
    std::function<bool(int32_t epoch, std::vector<Network>& pool, std::vector<LossRow>& rows)>
        score;
    // The validation score of the best network at an epoch's end; false
    // when it failed. Empty: the run has no validation.
    std::function<bool(const Network& best, double& value)> validate;
};

// Runs the whole training from start (which is not changed). An epoch is
// one generation; when no member has a finite score the previous best stays
// and the epoch's loss is the largest finite double. Returns as run_epochs.
bool evolve_function(const Network& start, const FunctionSettings& settings,
                     const FunctionScoring& scoring, const RunHooks& hooks, RunResult& result);

}  // namespace tessavo
