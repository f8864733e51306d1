#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "progress/console.hpp"
#include "progress/progress.hpp"

namespace tessavo {
namespace {

class FormatDuration : public ::testing::TestWithParam<std::pair<double, const char*>> {};

TEST_P(FormatDuration, Text) { EXPECT_EQ(format_duration(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatDuration,
    ::testing::Values(std::pair{0.0, "0ms"}, std::pair{0.4, "0ms"}, std::pair{999.9, "999ms"},
                      std::pair{1000.0, "1s"}, std::pair{1500.0, "1s"}, std::pair{59999.0, "59s"},
                      std::pair{60000.0, "1:00"}, std::pair{65000.0, "1:05"},
                      std::pair{600000.0, "10:00"}, std::pair{3600000.0, "1:00:00"},
                      std::pair{3605000.0, "1:00:05"}, std::pair{3723000.0, "1:02:03"},
                      std::pair{36610000.0, "10:10:10"}));

const std::vector<int32_t> mse_mae = {0, 1};
const std::vector<int32_t> size_monitor = {0};
const std::vector<int32_t> none;
const std::vector<double> no_values;

TEST(StepProgress, MidEpochWithBar) {
    EXPECT_EQ(step_progress_line(1, size_monitor, 7, mse_mae, 1500.0, 1, 10, 2, 8, {0.3, 0.45},
                                 false, no_values),
              "\rEpoch 2/10 - 3/8 [============>.................] - ETA: 2s - loss*: 0.100000 - "
              "mae*: 0.150000 - size: 7");
}

TEST(StepProgress, LastStepWithValidation) {
    const std::vector<double> train = {0.8, 1.2};
    const std::vector<double> val = {0.12, 0.2};
    EXPECT_EQ(
        step_progress_line(1, size_monitor, 7, mse_mae, 4200.0, 1, 10, 7, 8, train, true, val),
        "\rEpoch 2/10 - 8/8 [==============================] - 4s 525ms/step - loss*: "
        "0.100000 - mae*: 0.150000 - val_loss: 0.120000 - val_mae: 0.200000 - size: 7\n");
    EXPECT_EQ(
        step_progress_line(2, size_monitor, 7, mse_mae, 4200.0, 1, 10, 7, 8, train, true, val),
        "\rEpoch 2/10 - 4s - loss*: 0.100000 - mae*: 0.150000 - val_loss: 0.120000 - "
        "val_mae: 0.200000 - size: 7\n");
}

TEST(StepProgress, LevelsThatPrintLess) {
    const std::vector<double> train = {0.5, 0.5};
    EXPECT_EQ(
        step_progress_line(0, size_monitor, 7, mse_mae, 10.0, 0, 1, 0, 1, train, false, no_values),
        "");
    EXPECT_EQ(
        step_progress_line(2, size_monitor, 7, mse_mae, 10.0, 0, 1, 0, 3, train, false, no_values),
        "");
    // Any other level prints every step, like 2 but without a line feed
    // before the last step.
    EXPECT_EQ(step_progress_line(5, none, 7, mse_mae, 10.0, 0, 1, 0, 2, train, false, no_values),
              "\rEpoch 1/1 - ETA: 10ms - loss*: 0.500000 - mae*: 0.500000");
    EXPECT_EQ(step_progress_line(-1, none, 7, mse_mae, 20.0, 0, 1, 1, 2, train, false, no_values),
              "\rEpoch 1/1 - 20ms - loss*: 0.250000 - mae*: 0.250000\n");
}

TEST(StepProgress, SingleStepHasNoMarkerAndFullBar) {
    EXPECT_EQ(step_progress_line(1, none, 3, {2}, 2500.0, 4, 5, 0, 1, {0.25}, false, no_values),
              "\rEpoch 5/5 - 1/1 [==============================] - 2s 2s/step - loss: 0.250000\n");
}

TEST(StepProgress, BarAdvances) {
    const std::string first =
        step_progress_line(1, none, 3, {0}, 0.0, 0, 1, 0, 3, {1.0}, false, no_values);
    EXPECT_NE(first.find("[==========>...................]"), std::string::npos) << first;
    const std::string second =
        step_progress_line(1, none, 3, {0}, 0.0, 0, 1, 1, 3, {1.0}, false, no_values);
    EXPECT_NE(second.find("[====================>.........]"), std::string::npos) << second;
}

TEST(EpochProgress, Lines) {
    EXPECT_EQ(epoch_progress_line(1, size_monitor, 9, 812.3, 1, 10, 0.03125, true, 0.04),
              "\rEpoch 2/10 - 812ms - loss: 0.031250 - val_loss: 0.040000 - size: 9\n");
    EXPECT_EQ(epoch_progress_line(2, none, 9, 61000.0, 0, 3, -1.5, false, 0.04),
              "\rEpoch 1/3 - 1:01 - loss: -1.500000\n");
    EXPECT_EQ(epoch_progress_line(0, size_monitor, 9, 1.0, 0, 3, 1.0, true, 0.0), "");
}

TEST(Console, RedirectCapturesThisThreadOnly) {
    const ConsoleSink append = [](void* context, std::string_view text) {
        static_cast<std::string*>(context)->append(text);
    };
    std::string captured, elsewhere;
    {
        ConsoleRedirect redirect(append, &captured);
        console_write("\rEpoch 1/1");
        std::thread other([&] {
            ConsoleRedirect own(append, &elsewhere);
            console_write("other");
        });
        other.join();
        console_write("\n");
    }
    EXPECT_EQ(captured, "\rEpoch 1/1\n");
    EXPECT_EQ(elsewhere, "other");
}

}  // namespace
}  // namespace tessavo
