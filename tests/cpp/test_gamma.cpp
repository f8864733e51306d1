#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "network/network.hpp"
#include "random/sources.hpp"
#include "training/gamma.hpp"

namespace tessavo {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<LossRow> rows_of(const std::vector<double>& primary) {
    std::vector<LossRow> rows;
    for (const double v : primary) rows.push_back({v, 1.0});
    return rows;
}

Network small_network(bool recurrent) {
    seed_sources(3);
    Network n(2, 1, recurrent);
    resize(n, 5);
    randomize_dense(n);
    return n;
}

class GammaTest : public ::testing::Test {
protected:
    void TearDown() override { unseed_sources(); }
};

TEST(GammaOperators, RankUtilitiesFavourTheBestHalfAndSumToZero) {
    for (const int32_t lambda : {2, 5, 8, 30}) {
        const std::vector<double> u = rank_utilities(lambda);
        ASSERT_EQ(u.size(), static_cast<std::size_t>(lambda));
        EXPECT_NEAR(std::accumulate(u.begin(), u.end(), 0.0), 0.0, 1e-12);
        for (std::size_t k = 1; k < u.size(); ++k) EXPECT_LE(u[k], u[k - 1]);
        EXPECT_GT(u.front(), 0.0);
        // Ranks past lambda / 2 + 1 share the floor of -1 / lambda.
        EXPECT_DOUBLE_EQ(u.back(), -1.0 / lambda);
    }
    // lambda = 4: raw ln 3 - ln k for k = 1, 2 (k = 3 gives 0), normalised.
    const std::vector<double> u = rank_utilities(4);
    const double sum = std::log(3.0) + std::log(1.5);
    EXPECT_NEAR(u[0], std::log(3.0) / sum - 0.25, 1e-15);
    EXPECT_NEAR(u[1], std::log(1.5) / sum - 0.25, 1e-15);
    EXPECT_DOUBLE_EQ(u[2], -0.25);
}

TEST(GammaOperators, RankOrderSkipsTheLeadingRowsAndPutsNaNLast) {
    const auto rows = rows_of({0.0, 3.0, nan, 1.0, 3.0, -2.0});
    EXPECT_EQ(rank_order(rows, 0), (std::vector<int32_t>{5, 0, 3, 1, 4, 2}));
    EXPECT_EQ(rank_order(rows, 2), (std::vector<int32_t>{5, 3, 4, 2}));
}

TEST(GammaOperators, UpdateMovesTheMeanTowardsTheBestAndAdaptsEachStep) {
    // Two parameters, four samples. Parameter 0: the better samples lie far
    // out on the positive side, so its mean moves up and its step grows.
    // Parameter 1: the better samples lie near the mean, so its step shrinks.
    const std::vector<double> z = {2.0, 0.1, 1.5, -0.1, -1.0, 1.5, -2.0, -1.5};
    std::vector<double> mean = {1.0, -1.0};
    std::vector<double> scale = {0.5, 2.0};
    const std::vector<int32_t> order = {0, 1, 2, 3};  // rows best first
    nes_update(mean, scale, z.data(), order);
    const std::vector<double> u = rank_utilities(4);
    const double eta = (3.0 + std::log(2.0)) / (5.0 * std::sqrt(2.0));
    double move0 = 0, move1 = 0, spread0 = 0, spread1 = 0;
    for (std::size_t r = 0; r < 4; ++r) {
        move0 += u[r] * z[2 * r];
        move1 += u[r] * z[2 * r + 1];
        spread0 += u[r] * (z[2 * r] * z[2 * r] - 1.0);
        spread1 += u[r] * (z[2 * r + 1] * z[2 * r + 1] - 1.0);
    }
    EXPECT_DOUBLE_EQ(mean[0], 1.0 + 0.5 * move0);
    EXPECT_DOUBLE_EQ(mean[1], -1.0 + 2.0 * move1);
    EXPECT_GT(mean[0], 1.0);
    EXPECT_DOUBLE_EQ(scale[0], 0.5 * std::exp(0.5 * eta * spread0));
    EXPECT_DOUBLE_EQ(scale[1], 2.0 * std::exp(0.5 * eta * spread1));
    EXPECT_GT(scale[0], 0.5);
    EXPECT_LT(scale[1], 2.0);

    // Reversed ranks move the mean the other way.
    std::vector<double> back = {1.0, -1.0}, back_scale = {0.5, 2.0};
    nes_update(back, back_scale, z.data(), {3, 2, 1, 0});
    EXPECT_LT(back[0], 1.0);
}

TEST(GammaOperators, ParametersAreTheNonInputBiasesAndTheSetLinks) {
    Network n = small_network(true);
    clear_link(n, 0, 3);
    const ParameterMap map = parameter_map(n);
    EXPECT_EQ(map.biases, (std::vector<int32_t>{2, 3, 4}));
    EXPECT_EQ(map.cells.size(), connection_count(n));
    std::vector<double> values;
    read_parameters(n, map, values);
    for (double& v : values) v += 1.0;
    Network changed = n;
    write_parameters(changed, map, values.data());
    EXPECT_EQ(changed.biases[0], n.biases[0]);  // inputs' biases are not searched
    EXPECT_EQ(changed.biases[4], n.biases[4] + 1.0);
    EXPECT_EQ(weight(changed, 0, 3), 0.0);  // an absent link stays absent
    EXPECT_EQ(changed.links, n.links);
    EXPECT_EQ(weight(changed, 2, 3), weight(n, 2, 3) + 1.0);
}

TEST_F(GammaTest, FirstPopulationIsTheMeanItsEliteAndSamplesAroundIt) {
    const Network start = small_network(false);
    GammaSearch search(start, 6, GammaSettings{});
    const auto& m = search.members();
    ASSERT_EQ(m.size(), 6u);
    const ParameterMap map = parameter_map(start);
    std::vector<double> mean, values;
    read_parameters(start, map, mean);
    EXPECT_EQ(search.mean(), mean);
    for (std::size_t i = 0; i < m.size(); ++i) {
        // Hidden nodes take tanh; the output keeps its activation.
        EXPECT_EQ(m[i].activations[2], ACTIVATION_TANH);
        EXPECT_EQ(m[i].activations[3], ACTIVATION_TANH);
        EXPECT_EQ(m[i].activations[4], start.activations[4]);
        EXPECT_EQ(m[i].links, start.links);
        read_parameters(m[i], map, values);
        if (i < 2) {
            EXPECT_EQ(values, mean) << i;
        } else {
            for (std::size_t j = 0; j < values.size(); ++j) EXPECT_NE(values[j], mean[j]);
        }
    }
    GammaSettings keep;
    keep.hidden_activation = -1;
    GammaSearch kept(start, 6, keep);
    EXPECT_EQ(kept.members()[2].activations, start.activations);
}

TEST_F(GammaTest, TheBestNetworkIsScoredAgainAsTheEliteAndTheUpdateUsesSamplesOnly) {
    const Network start = small_network(false);
    const ParameterMap map = parameter_map(start);
    GammaSearch search(start, 8, GammaSettings{});
    const std::vector<double> mean = search.mean();
    const std::vector<double> scale = search.scale();
    std::vector<std::vector<double>> seen;
    // Samples (members 2-7) score 7 - index, except member 5, the best. The
    // mean and the elite score worst: they must not enter the update.
    const PoolScorer score = [&](std::vector<Network>& pool, std::vector<LossRow>& rows) {
        rows.clear();
        seen.clear();
        for (std::size_t i = 0; i < pool.size(); ++i) {
            rows.push_back({i < 2 ? 100.0 : i == 5 ? -1.0 : 7.0 - static_cast<double>(i)});
            seen.emplace_back();
            read_parameters(pool[i], map, seen.back());
        }
        return true;
    };
    ASSERT_TRUE(search.run_generation(score));
    const std::vector<std::vector<double>> first = seen;
    ASSERT_TRUE(search.run_generation(score));
    std::vector<double> elite;
    read_parameters(search.members()[1], map, elite);
    EXPECT_EQ(elite, first[5]);

    std::vector<double> z;
    for (std::size_t i = 2; i < 8; ++i) {
        for (std::size_t j = 0; j < mean.size(); ++j)
            z.push_back((first[i][j] - mean[j]) / scale[j]);
    }
    std::vector<double> expected_mean = mean, expected_scale = scale;
    nes_update(expected_mean, expected_scale, z.data(), {3, 5, 4, 2, 1, 0});
    for (std::size_t j = 0; j < mean.size(); ++j) {
        EXPECT_NEAR(search.mean()[j], expected_mean[j], 1e-12);
        EXPECT_NEAR(search.scale()[j], expected_scale[j], 1e-12);
    }
}

TEST_F(GammaTest, AStalledSearchRestartsWithFreshActivationsForTheOutputOnly) {
    const Network start = small_network(true);
    GammaSearch search(start, 6, GammaSettings{});
    const PoolScorer flat = [](std::vector<Network>& pool, std::vector<LossRow>& rows) {
        rows.assign(pool.size(), LossRow{1.0});
        return true;
    };
    const int64_t patience = restart_patience(parameter_map(start).size(), 4);
    for (int64_t g = 0; g <= patience + 1; ++g) ASSERT_TRUE(search.run_generation(flat));
    EXPECT_EQ(search.restarts(), 0);
    ASSERT_TRUE(search.run_generation(flat));
    EXPECT_EQ(search.restarts(), 1);
    for (const Network& m : search.members()) {
        EXPECT_EQ(m.activations[2], ACTIVATION_TANH);
        EXPECT_EQ(m.activations[3], ACTIVATION_TANH);
    }
    for (const double s : search.scale()) EXPECT_EQ(s, GammaSettings{}.step_size);

    GammaSettings no_restarts;
    no_restarts.restarts = false;
    GammaSearch steady(start, 6, no_restarts);
    for (int64_t g = 0; g <= patience + 3; ++g) ASSERT_TRUE(steady.run_generation(flat));
    EXPECT_EQ(steady.restarts(), 0);
}

TEST_F(GammaTest, SeededSearchesRepeat) {
    const Network start = small_network(true);
    auto run = [&] {
        seed_sources(9);
        GammaSearch search(start, 7, GammaSettings{});
        const PoolScorer score = [](std::vector<Network>& pool, std::vector<LossRow>& rows) {
            rows.clear();
            for (const Network& n : pool) rows.push_back({std::fabs(n.biases[4] - 0.3)});
            return true;
        };
        for (int g = 0; g < 5; ++g) search.run_generation(score);
        return search.mean();
    };
    EXPECT_EQ(run(), run());
}

TEST(GammaOperators, SettingsAreChecked) {
    EXPECT_EQ(gamma_settings_error(GammaSettings{}), "");
    GammaSettings s;
    for (const double step : {0.0, -1.0, nan, std::numeric_limits<double>::infinity(), 1e7}) {
        s.step_size = step;
        EXPECT_NE(gamma_settings_error(s), "") << step;
    }
    s = GammaSettings{};
    s.hidden_activation = activation_count;
    EXPECT_NE(gamma_settings_error(s), "");
    s.hidden_activation = -2;
    EXPECT_NE(gamma_settings_error(s), "");
    EXPECT_THROW(GammaSearch(Network(1, 1, false), 0, GammaSettings{}), std::invalid_argument);
}

}  // namespace
}  // namespace tessavo
