#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "network/network.hpp"
#include "training/evolve.hpp"

namespace tessavo {
namespace {

Network dense(int32_t inputs, int32_t outputs, int32_t size) {
    Network n(inputs, outputs, false);
    resize(n, size);
    randomize_dense(n);
    return n;
}

void line_data(SeriesSet& x, SeriesSet& y, int rows) {
    for (int i = 0; i < rows; ++i) {
        const double v = i / static_cast<double>(rows);
        x.push_back({{v}});
        y.push_back({{0.5 * v + 0.1}});
    }
}

EvolveSettings quiet(int32_t epochs, int32_t batch_size) {
    EvolveSettings settings;
    settings.pop_size = 10;
    settings.epochs = epochs;
    settings.batch_size = batch_size;
    settings.verbose = 0;
    settings.codes = {0, 1};
    return settings;
}

const auto always = [] { return true; };

TEST(EvolveDataset, OneBatchLossNeverRisesAndMatchesTheReturnedNetwork) {
    SeriesSet x, y;
    line_data(x, y, 12);
    EvolveResult result;
    ASSERT_TRUE(
        evolve_dataset(dense(1, 1, 3), x, y, nullptr, nullptr, quiet(15, -1), always, result));
    const auto& loss = result.history.train[0];
    ASSERT_EQ(loss.size(), 15u);
    ASSERT_EQ(result.history.train.size(), 2u);
    EXPECT_TRUE(result.history.validation.empty());
    EXPECT_EQ(result.history.sizes.size(), 15u);
    for (std::size_t e = 1; e < loss.size(); ++e) EXPECT_LE(loss[e], loss[e - 1]) << e;
    EXPECT_EQ(dataset_losses(result.best, x, y, {0, 1}),
              (std::vector<double>{loss.back(), result.history.train[1].back()}));
}

TEST(EvolveDataset, BatchesAndValidationFillEveryList) {
    SeriesSet x, y, xv, yv;
    line_data(x, y, 10);
    line_data(xv, yv, 4);
    EvolveResult result;
    ASSERT_TRUE(evolve_dataset(dense(1, 1, 4), x, y, &xv, &yv, quiet(3, 3), always, result));
    for (const auto& list : result.history.train) EXPECT_EQ(list.size(), 3u);
    ASSERT_EQ(result.history.validation.size(), 2u);
    for (const auto& list : result.history.validation) EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(result.history.sizes.back(), result.best.size);
}

TEST(EvolveDataset, StoppingLeavesTheResultUntouched) {
    SeriesSet x, y;
    line_data(x, y, 10);
    EvolveResult result;
    result.history.sizes = {123};
    int asked = 0;
    // Four batches per epoch: stop at the first batch of the second epoch.
    EXPECT_FALSE(evolve_dataset(
        dense(1, 1, 3), x, y, nullptr, nullptr, quiet(5, 3), [&] { return ++asked <= 4; }, result));
    EXPECT_EQ(asked, 5);
    EXPECT_EQ(result.history.sizes, std::vector<int32_t>{123});
    EXPECT_EQ(result.best.size, 0);
}

TEST(EvolveDataset, NoEpochsReturnsAnUnchangedClone) {
    SeriesSet x, y;
    line_data(x, y, 5);
    const Network start = dense(1, 1, 4);
    EvolveResult result;
    ASSERT_TRUE(evolve_dataset(start, x, y, nullptr, nullptr, quiet(0, -1), always, result));
    EXPECT_EQ(result.best.weights, start.weights);
    EXPECT_EQ(result.best.biases, start.biases);
    EXPECT_TRUE(result.history.train[0].empty());
}

TEST(EvolveDataset, BatchesWithoutAnyFiniteLossKeepTheBest) {
    SeriesSet x, y;
    line_data(x, y, 4);
    y[0][0][0] = std::numeric_limits<double>::quiet_NaN();
    const Network start = dense(1, 1, 3);
    // One batch: every member scores NaN, so the kept best (the seed clone)
    // is scored and returned.
    EvolveResult result;
    ASSERT_TRUE(evolve_dataset(start, x, y, nullptr, nullptr, quiet(3, -1), always, result));
    EXPECT_EQ(result.best.weights, start.weights);
    EXPECT_EQ(result.best.biases, start.biases);
    for (const double v : result.history.train[0]) EXPECT_TRUE(std::isnan(v));
    // Batches of one row: only the batch holding the NaN target has no best.
    EvolveResult batched;
    ASSERT_TRUE(evolve_dataset(start, x, y, nullptr, nullptr, quiet(3, 1), always, batched));
    EXPECT_EQ(batched.history.train[0].size(), 3u);
    for (const double v : batched.history.train[0]) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
}  // namespace tessavo
