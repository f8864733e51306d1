#include "training/evolve.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "progress/console.hpp"
#include "random/sources.hpp"

namespace tessavo {

namespace {

// Uniform in 0 .. i from 15-bit chunks of rand() (or of the C generator of
// a scope of draws): whole chunks are stacked until they cover i, and a draw
// that falls into the incomplete top copy of the range is repeated.
uint64_t draw_up_to(uint64_t i) {
    const uint64_t n = i + 1;
    for (;;) {
        uint64_t v = 0;
        uint64_t m = 0;
        while (m < i) {
            const auto chunk = static_cast<uint64_t>(c_rand_or_scoped() & 0x7FFF);
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
                    const EvolveSettings& settings, const RunHooks& hooks, EvolveResult& result) {
    const std::vector<int32_t>& codes = settings.codes;
    if (x.count == 0 || x.count != y.count || codes.empty() || settings.pop_size < 1 ||
        settings.epochs < 0 || settings.batch_size == 0 || settings.batch_size < -1) {
        throw std::invalid_argument("evolve_dataset: unchecked arguments");
    }
    const int64_t samples = x.count;
    auto unlocked = [&settings](const std::function<void()>& work) {
        if (settings.scoring_section) {
            settings.scoring_section(work);
        } else {
            work();
        }
    };

    check_population_fits(start, settings.pop_size);
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

    // Shuffled batches need a copy of the data to reorder, made at the
    // first epoch.
    SeriesBlock shuffled_x, shuffled_y;
    SeriesView all_x = x, all_y = y;
    RunScorer scorer;
    scorer.batches = batches;
    if (batches > 1) {
        scorer.begin_epoch = [&](int32_t) {
            if (shuffled_x.count == 0) {
                auto copy = [](const SeriesView& view, SeriesBlock& block) {
                    block.values.assign(view.data,
                                        view.data + view.count * view.steps * view.width);
                    block.count = view.count;
                    block.steps = view.steps;
                    block.width = view.width;
                };
                copy(x, shuffled_x);
                copy(y, shuffled_y);
            }
            shuffle_together(shuffled_x, shuffled_y);
            all_x = shuffled_x.view();
            all_y = shuffled_y.view();
        };
    }
    auto slice = [&](const SeriesView& all, int64_t b) {
        return all.slice(b * batch, std::min(samples, b * batch + batch));
    };
    scorer.score = [&](int32_t, int64_t b, std::vector<Network>& pool, std::vector<LossRow>& rows) {
        const SeriesView bx = slice(all_x, b);
        const SeriesView by = slice(all_y, b);
        unlocked([&] { evaluate_pool_into(pool, bx, by, codes, rows); });
        return true;
    };
    // The kept best is scored on the batch, so the history stays the loss of
    // the network that the run would return.
    scorer.fallback = [&](int64_t b, Network& best) {
        LossRow row;
        unlocked([&] { row = dataset_losses(best, slice(all_x, b), slice(all_y, b), codes); });
        return row;
    };
    if (x_val != nullptr && y_val != nullptr) {
        scorer.validate = [&](Network& best, std::vector<double>& row) {
            unlocked([&] { row = dataset_losses(best, *x_val, *y_val, codes); });
            return true;
        };
    }
    RunSettings run;
    run.pop_size = settings.pop_size;
    run.epochs = settings.epochs;
    run.verbose = settings.verbose;
    run.codes = codes;
    run.monitors = settings.monitors;
    run.progress = ProgressStyle::batches;
    run.optimizer = settings.optimizer;
    return run_epochs(start, run, scorer, hooks, result);
}

}  // namespace tessavo
