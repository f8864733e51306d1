#include "training/func_evolve.hpp"

#include <limits>
#include <stdexcept>

#include "training/losses.hpp"

namespace tessavo {

bool evolve_function(const Network& start, const FunctionSettings& settings,
                     const FunctionScoring& scoring, const RunHooks& hooks, RunResult& result) {
    if (!scoring.score) throw std::invalid_argument("evolve_function: no scoring function");
    check_population_fits(start, settings.pop_size);
    // Read now: a hook may replace the network that start refers to.
    const bool recurrent = start.recurrent;
    RunScorer scorer;
    scorer.score = [&, recurrent](int32_t epoch, int64_t, std::vector<Network>& pool,
                                  std::vector<LossRow>& rows) {
        if (recurrent) {
            for (Network& network : pool) clear_state(network);
        }
        return scoring.score(epoch, pool, rows);
    };
    scorer.fallback = [](int64_t, Network&) { return LossRow{std::numeric_limits<double>::max()}; };
    if (scoring.validate) {
        scorer.validate = [&](Network& best, std::vector<double>& row) {
            return scoring.validate(best, row[0]);
        };
    }
    RunSettings run;
    run.pop_size = settings.pop_size;
    run.epochs = settings.epochs;
    run.verbose = settings.verbose;
    // One score ranks, and the history calls it the loss.
    run.codes = {LOSS_MSE};
    run.monitors = settings.monitors;
    run.progress = ProgressStyle::epochs;
    run.optimizer = settings.optimizer;
    return run_epochs(start, run, scorer, hooks, result);
}

}  // namespace tessavo
