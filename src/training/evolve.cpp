#include "training/evolve.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <utility>

#include "progress/console.hpp"
#include "progress/progress.hpp"
#include "random/sources.hpp"

namespace tessavo {

namespace {

// Uniform in 0 .. i from 15-bit chunks of c_rand(): whole chunks are stacked
// until they cover i, and a draw that falls into the incomplete top copy of
// the range is repeated.
uint64_t draw_up_to(uint64_t i) {
    const uint64_t n = i + 1;
    for (;;) {
        uint64_t v = 0;
        uint64_t m = 0;
        while (m < i) {
            const auto chunk = static_cast<uint64_t>(c_rand() & 0x7FFF);
            v = v * 32768 + chunk;
            m = m * 32768 + 32767;
        }
        if (v / n < m / n || m % n == i) return v % n;
    }
}

}  // namespace

void shuffle_together(SeriesBlock& x, SeriesBlock& y) {
    const std::size_t n = static_cast<std::size_t>(x.count);
    if (n < 2) return;
    std::vector<std::size_t> perm(n);
    for (std::size_t k = 0; k < n; ++k) perm[k] = k;
    for (std::size_t i = 1; i < n; ++i) {
        const auto k = static_cast<std::size_t>(draw_up_to(i));
        if (k != i) std::swap(perm[i], perm[k]);
    }
    // Series k moves to place perm[k].
    auto permute = [&](SeriesBlock& block) {
        const std::size_t span = static_cast<std::size_t>(block.steps) * block.width;
        std::vector<double> moved(block.values.size());
        for (std::size_t k = 0; k < n; ++k) {
            std::copy_n(block.values.begin() + static_cast<std::ptrdiff_t>(k * span), span,
                        moved.begin() + static_cast<std::ptrdiff_t>(perm[k] * span));
        }
        block.values.swap(moved);
    };
    permute(x);
    permute(y);
}

int64_t batch_count(int64_t samples, int64_t batch) { return (samples + batch - 1) / batch; }

bool evolve_dataset(const Network& start, const SeriesView& x, const SeriesView& y,
                    const SeriesView* x_val, const SeriesView* y_val,
                    const EvolveSettings& settings, const std::function<bool()>& keep_going,
                    EvolveResult& result, const EpochHook& epoch_end) {
    const std::vector<int32_t>& codes = settings.codes;
    const int32_t epochs = settings.epochs;
    const int32_t pop_size = settings.pop_size;
    if (x.count == 0 || x.count != y.count || codes.empty() || pop_size < 1 || epochs < 0 ||
        settings.batch_size == 0 || settings.batch_size < -1) {
        throw std::invalid_argument("evolve_dataset: unchecked arguments");
    }
    const bool has_validation = x_val != nullptr && y_val != nullptr;
    const int64_t samples = x.count;
    auto unlocked = [&settings](const std::function<void()>& work) {
        if (settings.scoring_section) {
            settings.scoring_section(work);
        } else {
            work();
        }
    };

    check_population_fits(start, pop_size);
    int64_t batch = samples;
    if (settings.batch_size != -1) {
        batch = settings.batch_size;
        if (static_cast<double>(batch) < 0.1 * static_cast<double>(samples)) {
            console_write(
                "WARNING! The batch size is less than 10% the number of samples in your "
                "dataset. If the dataset is highly nonlinear, individual batches may not "
                "represent your dataset correctly and the loss can be extremely "
                "underestimated. Make sure to use a validation set to monitor the actual loss "
                "closely.\n");
        }
    }
    const int64_t batches = batch_count(samples, batch);
    const auto steps = static_cast<int32_t>(batches);

    // The lists grow with the epochs run: a huge epochs count meant to be
    // stopped with Ctrl-C must not reserve memory up front.
    EvolveHistory history;
    history.train.assign(codes.size(), {});
    if (has_validation) history.validation.assign(codes.size(), {});

    Population population;
    std::optional<BetaSearch> beta;
    if (settings.beta) {
        beta.emplace(start, pop_size, *settings.beta);
    } else {
        population.members = seed_population(start, pop_size);
        population.losses.assign(static_cast<std::size_t>(pop_size), LossRow(codes.size(), 0.0));
    }
    Network best = beta ? beta->members()[0] : population.members[0];

    // Shuffled batches need a copy of the data to reorder.
    SeriesBlock shuffled_x, shuffled_y;
    if (batches > 1) {
        auto copy = [](const SeriesView& view, SeriesBlock& block) {
            block.values.assign(view.data, view.data + view.count * view.steps * view.width);
            block.count = view.count;
            block.steps = view.steps;
            block.width = view.width;
        };
        copy(x, shuffled_x);
        copy(y, shuffled_y);
    }
    LossRow best_row;
    std::vector<double> sums(codes.size());
    const std::vector<double> no_validation;
    for (int32_t epoch = 0; epoch < epochs; ++epoch) {
        const int64_t t0 = monotonic_ns();
        if (batches > 1) shuffle_together(shuffled_x, shuffled_y);
        const SeriesView all_x = batches > 1 ? shuffled_x.view() : x;
        const SeriesView all_y = batches > 1 ? shuffled_y.view() : y;
        std::fill(sums.begin(), sums.end(), 0.0);
        double size_sum = 0.0;
        for (int64_t b = 0; b < batches; ++b) {
            if (!keep_going()) return false;
            const int64_t lo = b * batch;
            const int64_t hi = std::min(samples, lo + batch);
            const SeriesView bx = all_x.slice(lo, hi);
            const SeriesView by = all_y.slice(lo, hi);
            const PoolScorer scorer = [&](std::vector<Network>& pool, std::vector<LossRow>& rows) {
                unlocked([&] { evaluate_pool_into(pool, bx, by, codes, rows); });
                return true;
            };
            if (beta) {
                beta->run_generation(scorer);
            } else {
                run_generation(population, scorer);
            }
            const std::vector<Network>& members = beta ? beta->members() : population.members;
            const std::vector<LossRow>& losses = beta ? beta->losses() : population.losses;
            if (const auto index = find_best(losses)) {
                best = members[*index];
                best_row = losses[*index];
            } else {
                // No member has a finite loss on this batch, so none is taken
                // as best: the kept best is scored on the batch instead, and
                // its row enters the sums. The history then stays the loss of
                // the network that the run would return.
                unlocked([&] { best_row = dataset_losses(best, bx, by, codes); });
            }
            size_sum += best.size;
            for (std::size_t k = 0; k < codes.size(); ++k) sums[k] += best_row[k];
            if (b < batches - 1) {
                print_step_progress(settings.verbose, settings.monitors,
                                    static_cast<int32_t>(std::trunc(size_sum / (b + 1))), codes, t0,
                                    epoch, epochs, static_cast<int32_t>(b), steps, sums, false,
                                    no_validation);
            }
        }
        std::vector<double> validation;
        if (has_validation) {
            unlocked([&] { validation = dataset_losses(best, *x_val, *y_val, codes); });
        }
        print_step_progress(settings.verbose, settings.monitors, best.size, codes, t0, epoch,
                            epochs, steps - 1, steps, sums, has_validation,
                            has_validation ? validation : no_validation);
        for (std::size_t k = 0; k < codes.size(); ++k) {
            history.train[k].push_back(sums[k] / static_cast<double>(batches));
            if (has_validation) history.validation[k].push_back(validation[k]);
        }
        history.sizes.push_back(best.size);
        if (epoch_end) {
            const EpochAction action = epoch_end(epoch, history, best);
            if (action == EpochAction::fail) return false;
            if (action == EpochAction::stop) break;
        }
    }
    result.best = std::move(best);
    result.history = std::move(history);
    return true;
}

}  // namespace tessavo
