#include "training/driver.hpp"

#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>

#include "progress/progress.hpp"
#include "training/alpha.hpp"

namespace tessavo {

bool run_epochs(const Network& start, const RunSettings& settings, const RunScorer& scorer,
                const RunHooks& hooks, RunResult& result) {
    const std::vector<int32_t>& codes = settings.codes;
    const int32_t epochs = settings.epochs;
    const int64_t batches = scorer.batches;
    if (codes.empty() || settings.pop_size < 1 || epochs < 0 || batches < 1 || !scorer.score ||
        !scorer.fallback) {
        throw std::invalid_argument("run_epochs: unchecked arguments");
    }
    const bool has_validation = static_cast<bool>(scorer.validate);
    const bool step_lines = settings.progress == ProgressStyle::batches;
    const auto steps = static_cast<int32_t>(batches);

    // The lists grow with the epochs run: a huge epochs count meant to be
    // stopped with Ctrl-C must not reserve memory up front.
    RunHistory history;
    history.train.assign(codes.size(), {});
    if (has_validation) history.validation.assign(codes.size(), {});

    const std::unique_ptr<Optimizer> optimizer =
        (settings.optimizer ? settings.optimizer : alpha_optimizer())(start, settings.pop_size,
                                                                      codes.size());
    Network best = optimizer->members()[0];

    LossRow best_row;
    std::vector<double> sums(codes.size()), means(codes.size());
    std::vector<double> validation(codes.size(), 0.0);
    const std::vector<double> no_validation;
    for (int32_t epoch = 0; epoch < epochs; ++epoch) {
        if (hooks.epoch_begin && !hooks.epoch_begin(epoch)) return false;
        const int64_t t0 = monotonic_ns();
        if (scorer.begin_epoch) scorer.begin_epoch(epoch);
        double size_sum = 0.0;
        int64_t run = 0;  // batches run this epoch
        bool stop = false;
        for (int64_t b = 0; b < batches && !stop; ++b) {
            if (hooks.keep_going && !hooks.keep_going()) return false;
            if (hooks.batch_begin && !hooks.batch_begin(epoch, b)) return false;
            const PoolScorer score = [&](std::vector<Network>& pool, std::vector<LossRow>& rows) {
                return scorer.score(epoch, b, pool, rows);
            };
            if (!optimizer->run_generation(score)) return false;
            const std::vector<LossRow>& losses = optimizer->losses();
            if (const auto index = find_best(losses)) {
                best = optimizer->members()[*index];
                best_row = losses[*index];
            } else {
                // No member has a finite loss on this batch, so none is taken
                // as best: the scorer says what the kept best counts instead.
                best_row = scorer.fallback(b, best);
            }
            size_sum += best.size;
            // The first batch's row is taken as it is (a score of -0.0 stays).
            for (std::size_t k = 0; k < codes.size(); ++k) {
                sums[k] = b == 0 ? best_row[k] : sums[k] + best_row[k];
            }
            run = b + 1;
            const auto mean_size = static_cast<int32_t>(std::trunc(size_sum / (b + 1)));
            if (step_lines && b < batches - 1) {
                print_step_progress(settings.verbose, settings.monitors, mean_size, codes, t0,
                                    epoch, epochs, static_cast<int32_t>(b), steps, sums, false,
                                    no_validation);
            }
            if (hooks.batch_end) {
                for (std::size_t k = 0; k < codes.size(); ++k) {
                    means[k] = sums[k] / static_cast<double>(run);
                }
                const EpochAction action = hooks.batch_end(epoch, b, means, mean_size);
                if (action == EpochAction::fail) return false;
                stop = action == EpochAction::stop;
            }
        }
        if (has_validation && !scorer.validate(best, validation)) return false;
        if (step_lines) {
            // An epoch that a hook ended early shows the batches it ran.
            const auto shown = static_cast<int32_t>(run);
            print_step_progress(settings.verbose, settings.monitors, best.size, codes, t0, epoch,
                                epochs, shown - 1, shown, sums, has_validation,
                                has_validation ? validation : no_validation);
        } else {
            print_epoch_progress(settings.verbose, settings.monitors, best.size, t0, epoch, epochs,
                                 sums[0] / static_cast<double>(run), has_validation, validation[0]);
        }
        for (std::size_t k = 0; k < codes.size(); ++k) {
            history.train[k].push_back(sums[k] / static_cast<double>(run));
            if (has_validation) history.validation[k].push_back(validation[k]);
        }
        history.sizes.push_back(best.size);
        if (hooks.epoch_end) {
            const EpochAction action = hooks.epoch_end(epoch, history, best);
            if (action == EpochAction::fail) return false;
            if (action == EpochAction::stop) break;
        }
        if (stop) break;
    }
    result.best = std::move(best);
    result.history = std::move(history);
    return true;
}

}  // namespace tessavo
