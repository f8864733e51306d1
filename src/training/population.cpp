#include "training/population.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "network/memory.hpp"
#include "training/workers.hpp"

namespace tessavo {

double primary_loss(const LossRow& row) {
    return row.empty() ? std::numeric_limits<double>::quiet_NaN() : row[0];
}

void check_population_fits(const Network& network, int64_t count, long double other_bytes) {
    const std::string what = "A population of " + std::to_string(count) + " networks of " +
                             std::to_string(network.size) + " nodes";
    require_memory(population_bytes(network.size, static_cast<long double>(count)) + other_bytes,
                   what.c_str());
}

namespace {

// Below this many multiply-adds a pool is scored faster on one thread than
// the wake-up of the others costs.
constexpr double scoring_threshold = 1.0e5;

}  // namespace

std::vector<LossRow> evaluate_pool(std::vector<Network>& pool, const SeriesView& x,
                                   const SeriesView& y, const std::vector<int32_t>& codes) {
    std::vector<LossRow> rows;
    evaluate_pool_into(pool, x, y, codes, rows);
    return rows;
}

void evaluate_pool_into(std::vector<Network>& pool, const SeriesView& x, const SeriesView& y,
                        const std::vector<int32_t>& codes, std::vector<LossRow>& rows) {
    rows.resize(pool.size());
    // Every member reads the same inputs, laid out for block passes once.
    const LaneInputs lane_inputs = make_lane_inputs(x);
    auto score = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            dataset_losses_into(pool[i], x, y, codes, &lane_inputs, rows[i]);
        }
    };
    const double n = pool.empty() ? 0.0 : pool.front().size;
    const double work = static_cast<double>(pool.size()) * static_cast<double>(x.count) *
                        static_cast<double>(x.steps) * n * n / 2.0;
    if (work < scoring_threshold) {
        parallel_chunks(pool.size(), pool.size(), score);  // one chunk: this thread alone
        return;
    }
    // Small chunks balance networks of different sizes over the threads,
    // and a thread that the system pauses holds back little work.
    const std::size_t threads = static_cast<std::size_t>(worker_threads());
    parallel_chunks(pool.size(), std::max<std::size_t>(1, pool.size() / (32 * threads)), score);
}

std::optional<std::size_t> find_best(const std::vector<LossRow>& losses) {
    double best = std::numeric_limits<double>::max();
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < losses.size(); ++i) {
        const double loss = primary_loss(losses[i]);
        if (best > loss) {
            best = loss;
            index = i;
        }
    }
    return index;
}

}  // namespace tessavo
