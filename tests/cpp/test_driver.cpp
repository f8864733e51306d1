#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "training/driver.hpp"

namespace tessavo {
namespace {

Network small_start() {
    Network start(2, 1, false);
    resize(start, 4);
    randomize_dense(start);
    return start;
}

RunSettings quiet(int32_t epochs) {
    RunSettings settings;
    settings.pop_size = 3;
    settings.epochs = epochs;
    settings.verbose = 0;
    settings.codes = {0};
    return settings;
}

// Every member of batch b scores value(b).
RunScorer constant_scorer(int64_t batches, double (*value)(int64_t)) {
    RunScorer scorer;
    scorer.batches = batches;
    scorer.score = [value](int32_t, int64_t b, std::vector<Network>& pool,
                           std::vector<LossRow>& rows) {
        rows.assign(pool.size(), LossRow{value(b)});
        return true;
    };
    scorer.fallback = [](int64_t, Network&) { return LossRow{7.0}; };
    return scorer;
}

TEST(RunEpochs, BatchRowsAverageAndTheFallbackCountsWhereNoMemberIsFinite) {
    const RunScorer scorer = constant_scorer(
        2, [](int64_t b) { return b == 0 ? 1.0 : std::numeric_limits<double>::quiet_NaN(); });
    RunResult result;
    ASSERT_TRUE(run_epochs(small_start(), quiet(2), scorer, {}, result));
    EXPECT_EQ(result.history.train, (std::vector<std::vector<double>>{{4.0, 4.0}}));
    EXPECT_EQ(result.history.sizes.size(), 2u);
    EXPECT_TRUE(result.history.validation.empty());
}

TEST(RunEpochs, ALoneBatchKeepsItsRowExactly) {
    // -0.0 + 0.0 would lose the sign: one batch's row is the epoch's value.
    const RunScorer scorer = constant_scorer(1, [](int64_t) { return -0.0; });
    RunResult result;
    ASSERT_TRUE(run_epochs(small_start(), quiet(1), scorer, {}, result));
    ASSERT_EQ(result.history.train[0].size(), 1u);
    EXPECT_TRUE(std::signbit(result.history.train[0][0]));
}

TEST(RunEpochs, HooksRunInOrderAndStopOrFail) {
    RunScorer scorer = constant_scorer(3, [](int64_t b) { return 1.0 + static_cast<double>(b); });
    scorer.validate = [](Network&, std::vector<double>& row) {
        row[0] = 0.5;
        return true;
    };
    std::string order;
    RunHooks hooks;
    hooks.keep_going = [&] { return order += 'k', true; };
    hooks.epoch_begin = [&](int32_t) { return order += 'e', true; };
    hooks.batch_begin = [&](int32_t, int64_t) { return order += 'b', true; };
    hooks.batch_end = [&](int32_t epoch, int64_t batch, const std::vector<double>& means, int32_t) {
        order += 'B';
        EXPECT_EQ(means[0], 1.0 + static_cast<double>(batch) / 2.0);
        // Ends the second epoch after its second batch.
        return epoch == 1 && batch == 1 ? EpochAction::stop : EpochAction::proceed;
    };
    hooks.epoch_end = [&](int32_t, const RunHistory&, const Network&) {
        order += 'E';
        return EpochAction::proceed;
    };
    RunResult result;
    ASSERT_TRUE(run_epochs(small_start(), quiet(5), scorer, hooks, result));
    EXPECT_EQ(order,
              "ekbBkbBkbBE"
              "ekbBkbBE");
    EXPECT_EQ(result.history.train[0], (std::vector<double>{2.0, 1.5}));
    EXPECT_EQ(result.history.validation[0], (std::vector<double>{0.5, 0.5}));

    // A failing hook ends the run with the result untouched.
    result.history.sizes = {-1};
    hooks.batch_end = [](int32_t epoch, int64_t, const std::vector<double>&, int32_t) {
        return epoch == 1 ? EpochAction::fail : EpochAction::proceed;
    };
    EXPECT_FALSE(run_epochs(small_start(), quiet(5), scorer, hooks, result));
    EXPECT_EQ(result.history.sizes, std::vector<int32_t>{-1});
    scorer.validate = [](Network&, std::vector<double>&) { return false; };
    EXPECT_FALSE(run_epochs(small_start(), quiet(5), scorer, {}, result));
    EXPECT_EQ(result.history.sizes, std::vector<int32_t>{-1});
}

}  // namespace
}  // namespace tessavo
