// Dataset evolution without Python: the epochs and batches of a run, its
// progress lines and its history. The caller converts the data, checks the
// arguments and writes the result back into the model.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "network/network.hpp"
#include "training/beta.hpp"
#include "training/losses.hpp"
#include "training/population.hpp"

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
    // Set: the run breeds with Beta instead of the default scheme.
    std::optional<BetaSettings> beta;
};

struct EvolveHistory {
    // Per code, one value per epoch: the mean over the epoch's batches of
    // the batch's best row.
    std::vector<std::vector<double>> train;
    // Per code, one value per epoch; empty without validation data.
    std::vector<std::vector<double>> validation;
    // Size of the best network at the end of every epoch.
    std::vector<int32_t> sizes;
};

struct EvolveResult {
    Network best;  // the best network of the last generation
    EvolveHistory history;
};

// What a run does after an epoch's hook.
enum class EpochAction { proceed, stop, fail };

// Asked at the end of every epoch, once the epoch is in the history.
using EpochHook =
    std::function<EpochAction(int32_t epoch, const EvolveHistory& history, const Network& best)>;

// Reorders x and y by one permutation drawn from c_rand(), keeping pairs.
void shuffle_together(SeriesBlock& x, SeriesBlock& y);

// ceil(samples / batch) in exact integer arithmetic.
int64_t batch_count(int64_t samples, int64_t batch);

// Runs the whole training on a copy of the network; the data is read in
// place, or copied when batches are shuffled. It must be non-empty and
// checked, and stay valid during the call. keep_going is asked before every batch;
// when it returns false the run stops and false is returned with result
// untouched. epoch_end (when given) may end the run early as a normal end
// (stop: result holds the epochs run) or as a failure (fail: like keep_going
// returning false). Operator failures throw BrokenNetwork; nothing outside
// the call is changed by a run that does not complete.
bool evolve_dataset(const Network& start, const SeriesView& x, const SeriesView& y,
                    const SeriesView* x_val, const SeriesView* y_val,
                    const EvolveSettings& settings, const std::function<bool()>& keep_going,
                    EvolveResult& result, const EpochHook& epoch_end = {});

}  // namespace tessavo
