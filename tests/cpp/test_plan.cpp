#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "evolution/random.hpp"
#include "network/network.hpp"
#include "network/plan.hpp"
#include "training/evolve.hpp"
#include "training/losses.hpp"
#include "training/population.hpp"
#include "training/workers.hpp"

namespace tessavo {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Every activation code (7 outputs 0), sparse links anywhere (a feed-forward
// pass ignores those that point backwards) and weights that overflow.
Network random_network(std::mt19937& rng, int32_t size, bool recurrent) {
    const int32_t inputs = 1 + static_cast<int32_t>(rng() % std::min(size - 1, 6));
    const int32_t outputs = 1 + static_cast<int32_t>(rng() % (size - inputs));
    Network n(inputs, outputs, recurrent);
    resize(n, size);
    std::normal_distribution<double> normal(0.0, 1.5);
    const double density = 0.1 + (rng() % 90) / 100.0;
    for (int32_t k = 0; k < size; ++k) {
        n.biases[k] = normal(rng);
        const int32_t code = static_cast<int32_t>(rng() % 5);
        n.activations[k] = code == 4 ? 7 : code;
        for (int32_t i = 0; i < size; ++i) {
            if (std::uniform_real_distribution<double>(0, 1)(rng) < density) {
                set_link(n, i, k, rng() % 50 == 0 ? 1e300 : normal(rng));
            }
        }
    }
    return n;
}

std::vector<double> random_values(std::mt19937& rng, std::size_t count) {
    std::vector<double> values(count);
    std::normal_distribution<double> normal(0.0, 2.0);
    for (double& v : values) {
        const uint32_t pick = rng() % 40;
        v = pick == 0 ? nan : pick == 1 ? inf : pick == 2 ? -inf : normal(rng);
    }
    return values;
}

// Bitwise equality; any NaN equals any NaN (which operand's payload an
// instruction passes on is not part of the order of operations).
void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << i << ": " << a[i] << " " << b[i];
    }
}

// The one-sample reference: forward() per step, state cleared per series.
std::vector<double> reference_losses(Network& n, const SeriesView& x, const SeriesView& y,
                                     const std::vector<int32_t>& codes) {
    std::vector<double> result(codes.size(), 0.0);
    std::vector<double> out;
    for (int64_t s = 0; s < x.count; ++s) {
        if (n.recurrent) clear_state(n);
        for (int64_t t = 0; t < x.steps; ++t) {
            forward(n, x.sample(s, t), out);
            if (y.steps == 1 && t < x.steps - 1) continue;
            const double* target = y.sample(s, y.steps == 1 ? 0 : t);
            for (std::size_t j = 0; j < codes.size(); ++j) {
                result[j] += sample_loss(codes[j], target, out.size(), out.data());
            }
        }
    }
    for (double& v : result) v /= static_cast<double>(x.count * y.steps);
    return result;
}

TEST(Plan, BlockPassesMatchOneSampleAtATime) {
    std::mt19937 rng(11);
    const std::vector<int32_t> codes = {LOSS_MSE, LOSS_MAE, LOSS_MAPE};
    for (const int32_t size : {2, 3, 9, 20, 57, 200}) {
        for (const bool recurrent : {false, true}) {
            // Lengths around the block size; one series runs on a single lane.
            for (const int64_t count : {1, 7, 13, 29}) {
                Network n = random_network(rng, size, recurrent);
                const int64_t steps = recurrent ? 1 + rng() % 5 : 1;
                const int64_t y_steps = recurrent && rng() % 2 ? steps : 1;
                SeriesBlock x{random_values(rng, count * steps * n.inputs), count, steps, n.inputs};
                SeriesBlock y{random_values(rng, count * y_steps * n.outputs), count, y_steps,
                              n.outputs};
                n.values = random_values(rng, size);  // a stale state
                Network expected = n;
                Network actual = n;
                expect_same_bits(dataset_losses(actual, x.view(), y.view(), codes),
                                 reference_losses(expected, x.view(), y.view(), codes));
                expect_same_bits(actual.values, expected.values);
                expect_same_bits(actual.sums, expected.sums);
                // Inputs laid out once for a whole pool give the same.
                const LaneInputs shared = make_lane_inputs(x.view());
                Network pooled = n;
                expect_same_bits(dataset_losses(pooled, x.view(), y.view(), codes, &shared),
                                 reference_losses(expected = n, x.view(), y.view(), codes));

                // predict: three dimensions clear each series; one series
                // continues from the state.
                for (const bool clear_each : {true, false}) {
                    const int64_t series = clear_each ? count : 1;
                    const int64_t length = clear_each ? steps : count * steps;
                    Network predicted = n;
                    Network one_by_one = n;
                    std::vector<double> out(count * steps * n.outputs);
                    predict_series(predicted, x.values.data(), series, length, clear_each,
                                   out.data());
                    std::vector<double> reference;
                    std::vector<double> step_out;
                    for (int64_t s = 0; s < series; ++s) {
                        if (clear_each) clear_state(one_by_one);
                        for (int64_t t = 0; t < length; ++t) {
                            forward(one_by_one, x.values.data() + (s * length + t) * n.inputs,
                                    step_out);
                            reference.insert(reference.end(), step_out.begin(), step_out.end());
                        }
                    }
                    expect_same_bits(out, reference);
                    expect_same_bits(predicted.values, one_by_one.values);
                }
                if (HasFailure()) {
                    FAIL() << "size " << size << " recurrent " << recurrent << " count " << count;
                }
            }
        }
    }
}

TEST(Workers, EveryChunkOnceAndFailuresReachTheCaller) {
    for (const int32_t limit : {1, 2, 0}) {
        set_worker_limit(limit);
        std::vector<std::atomic<int>> hits(1000);
        parallel_chunks(hits.size(), 7, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) ++hits[i];
        });
        for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
        EXPECT_THROW(parallel_chunks(100, 1,
                                     [](std::size_t begin, std::size_t) {
                                         if (begin == 50) throw std::runtime_error("chunk 50");
                                     }),
                     std::runtime_error);
    }
    set_worker_limit(0);
    // Callers on several threads at once: a busy pool leaves a caller to
    // work alone, never waiting on another's job.
    std::atomic<long> total{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&] {
            for (int r = 0; r < 50; ++r) {
                parallel_chunks(64, 4, [&](std::size_t begin, std::size_t end) {
                    total += static_cast<long>(end - begin);
                });
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(total.load(), 4 * 50 * 64);
}

// The same random draws give the same run on one thread and on all.
TEST(Workers, HistoriesDoNotDependOnTheNumberOfThreads) {
    std::mt19937 rng(5);
    SeriesBlock x{random_values(rng, 300 * 3), 300, 1, 3};
    for (double& v : x.values) v = std::isfinite(v) ? v : 0.5;
    SeriesBlock y{std::vector<double>(300), 300, 1, 1};
    for (int64_t i = 0; i < 300; ++i) y.values[i] = std::sin(x.values[3 * i]);
    EvolveSettings settings;
    settings.pop_size = 30;
    settings.batch_size = 100;
    settings.epochs = 3;
    settings.verbose = 0;
    settings.codes = {LOSS_MSE, LOSS_MAE};
    std::vector<EvolveResult> results(2);
    for (const int32_t limit : {1, 2}) {
        set_worker_limit(limit);
        uint32_t counter = 1;
        set_device_source([&counter] { return counter++; });
        set_clock_source([] { return 99u; });
        reset_seeding_flags();
        std::srand(3);
        Network start(3, 1, false);
        resize(start, 14);
        randomize_dense(start);
        const SeriesView xv = x.view();
        const SeriesView yv = y.view();
        ASSERT_TRUE(
            evolve_dataset(start, xv, yv, &xv, &yv, settings, RunHooks{}, results[limit - 1]));
    }
    set_worker_limit(0);
    set_device_source({});
    set_clock_source({});
    reset_seeding_flags();
    EXPECT_EQ(results[0].history.train, results[1].history.train);
    EXPECT_EQ(results[0].history.validation, results[1].history.validation);
    EXPECT_EQ(results[0].history.sizes, results[1].history.sizes);
    EXPECT_EQ(results[0].best.weights, results[1].best.weights);
    EXPECT_EQ(results[0].best.values, results[1].best.values);
}

}  // namespace
}  // namespace tessavo
