// The epoch loop of every training run, without Python: epochs of batches,
// one generation of the optimizer per batch, the best network, validation,
// progress lines, the history, and the hooks through which the caller
// watches, stops or fails the run. What is scored comes from a RunScorer:
// dataset evolution (evolve.hpp) and function evolution (func_evolve.hpp)
// are two of them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "network/network.hpp"
#include "training/optimizer.hpp"
#include "training/population.hpp"

namespace tessavo {

struct RunHistory {
    // Per code, one value per epoch: the mean over the epoch's batches of
    // the batch's best row.
    std::vector<std::vector<double>> train;
    // Per code, one value per epoch; empty without validation.
    std::vector<std::vector<double>> validation;
    // Size of the best network at the end of every epoch.
    std::vector<int32_t> sizes;
};

struct RunResult {
    Network best;  // the best network of the last generation
    RunHistory history;
};

// What a run does after a hook.
enum class EpochAction { proceed, stop, fail };

// Asked at the end of every epoch, once the epoch is in the history.
using EpochHook =
    std::function<EpochAction(int32_t epoch, const RunHistory& history, const Network& best)>;

// The progress line of dataset evolution (a bar per batch, every code) or
// of function evolution (one line per epoch, the loss).
enum class ProgressStyle { batches, epochs };

struct RunSettings {
    int32_t pop_size = 100;  // at least 1
    int32_t epochs = 100;    // at least 0
    int32_t verbose = 1;
    std::vector<int32_t> codes;  // the loss, then the metrics: one per row entry
    std::vector<int32_t> monitors;
    ProgressStyle progress = ProgressStyle::batches;
    // Builds the optimizer; empty: Alpha.
    OptimizerFactory optimizer;
};

// What one kind of evolution plugs into the loop.
struct RunScorer {
    int64_t batches = 1;  // per epoch, at least 1
    // At the start of every epoch, before its first batch; may be empty.
    std::function<void(int32_t epoch)> begin_epoch;
    // Scores a pool on a batch of an epoch, one row per member in pool
    // order (rows may hold rows to reuse). False when scoring failed in a
    // way the caller reports itself.
    std::function<bool(int32_t epoch, int64_t batch, std::vector<Network>& pool,
                       std::vector<LossRow>& rows)>
        score;
    // The row a batch counts when no member has a finite primary loss;
    // best is the best network kept from before. Scoring may leave its
    // state (node values) changed, as the returned network keeps it.
    std::function<LossRow(int64_t batch, Network& best)> fallback;
    // One value per code for the best network at the end of an epoch;
    // false when it failed. Empty: the run has no validation.
    std::function<bool(Network& best, std::vector<double>& row)> validate;
};

// Every hook may be empty.
struct RunHooks {
    // Asked before every batch; false ends the run as a failure.
    std::function<bool()> keep_going;
    // False ends the run as a failure.
    std::function<bool(int32_t epoch)> epoch_begin;
    std::function<bool(int32_t epoch, int64_t batch)> batch_begin;
    // After a batch: means holds the running mean of the batch rows over
    // the epoch so far (one per code), size the running mean size. stop
    // ends the epoch after this batch, and the run after the epoch.
    std::function<EpochAction(int32_t epoch, int64_t batch, const std::vector<double>& means,
                              int32_t size)>
        batch_end;
    EpochHook epoch_end;
};

// Runs the whole training from start (which is not changed). False when a
// hook or the scorer ended the run as a failure: result is then untouched.
// A stop from a hook is a normal end, result holding the epochs run.
// Operator failures throw BrokenNetwork.
bool run_epochs(const Network& start, const RunSettings& settings, const RunScorer& scorer,
                const RunHooks& hooks, RunResult& result);

}  // namespace tessavo
