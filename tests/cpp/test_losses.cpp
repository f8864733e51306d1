#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "network/network.hpp"
#include "training/losses.hpp"

namespace tessavo {
namespace {

TEST(Losses, CodesAndSampleLoss) {
    EXPECT_EQ(loss_code("mse"), 0);
    EXPECT_EQ(loss_code("mape"), 2);
    for (const char* name : {"MSE", "ms", "mse ", ""}) EXPECT_EQ(loss_code(name), -1);
    EXPECT_EQ(loss_code(std::string_view("mse\0", 4)), -1);

    const double target[] = {1.0, 2.0};
    const double zeros[] = {0.0, 0.0};
    EXPECT_EQ(sample_loss(LOSS_MSE, target, 2, zeros), 2.5);
    EXPECT_EQ(sample_loss(LOSS_MAE, target, 2, zeros), 1.5);
    EXPECT_EQ(sample_loss(LOSS_MAPE, target, 2, zeros),
              (100.0 / (1.0 + 1e-10) + 200.0 / (2.0 + 1e-10)) / 2.0);
    const double half = 0.5;
    EXPECT_DOUBLE_EQ(sample_loss(LOSS_MAPE, zeros, 1, &half), 5e11);
}

// One input and one output; the recurrent one sums its inputs over a series.
Network accumulator(bool recurrent) {
    Network n(1, 1, recurrent);
    n.activations.assign(2, ACTIVATION_LINEAR);
    set_link(n, 0, 1, 1.0);
    if (recurrent) set_link(n, 1, 1, 1.0);
    return n;
}

// One-value samples, one series per row.
SeriesBlock series_of(const std::vector<std::vector<double>>& values) {
    SeriesBlock block;
    block.count = static_cast<int64_t>(values.size());
    block.steps = values.empty() ? 0 : static_cast<int64_t>(values[0].size());
    block.width = 1;
    for (const auto& steps : values)
        block.values.insert(block.values.end(), steps.begin(), steps.end());
    return block;
}

TEST(Losses, SequenceToOneUsesLastStepAndClearsStatePerSeries) {
    Network n = accumulator(true);
    n.values = {7.0, 7.0};  // a stale state must not leak into the first series
    const SeriesBlock x = series_of({{1, 2, 3, 4}, {5, 6, 7, 8}, {1, 1, 1, 1}});
    const SeriesBlock y = series_of({{9}, {20}, {4}});
    // Outputs 10, 26 and 4; D is the number of series.
    const auto losses = dataset_losses(n, x.view(), y.view(), {LOSS_MAE, LOSS_MSE, LOSS_MAE});
    EXPECT_DOUBLE_EQ(losses[0], 7.0 / 3.0);
    EXPECT_DOUBLE_EQ(losses[1], 37.0 / 3.0);
    EXPECT_EQ(losses[0], losses[2]);
    EXPECT_EQ(n.values[1], 4.0);  // the state after the last series
}

TEST(Losses, PerStepComparesEveryStep) {
    Network n = accumulator(true);
    const SeriesBlock x = series_of({{1, 1, 1}, {2, 2, 2}});
    const SeriesBlock y = series_of({{1, 2, 4}, {0, 4, 6}});
    // Outputs 1 2 3 and 2 4 6: errors 0 0 1 and 2 0 0, over six targets.
    const auto losses = dataset_losses(n, x.view(), y.view(), {LOSS_MSE, LOSS_MAE});
    EXPECT_DOUBLE_EQ(losses[0], 5.0 / 6.0);
    EXPECT_DOUBLE_EQ(losses[1], 3.0 / 6.0);
}

TEST(Losses, EmptyDatasetGivesNaNNotACrash) {
    Network n = accumulator(true);
    EXPECT_TRUE(std::isnan(dataset_losses(n, SeriesView{}, SeriesView{}, {LOSS_MSE})[0]));
    const double none[1] = {0.0};
    const auto no_steps =
        dataset_losses(n, SeriesView{none, 1, 0, 1}, series_of({{1.0}}).view(), {LOSS_MAE});
    EXPECT_TRUE(std::isnan(no_steps[0]));
}

}  // namespace
}  // namespace tessavo
