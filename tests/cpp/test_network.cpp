#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "evolution/random.hpp"
#include "network/network.hpp"

namespace tessavo {
namespace {

TEST(Activation, Codes) {
    EXPECT_DOUBLE_EQ(activate(ACTIVATION_SIGMOID, 0.0), 0.5);
    EXPECT_EQ(activate(ACTIVATION_SIGMOID, -1000.0), 0.0);
    EXPECT_EQ(activate(ACTIVATION_RELU, std::nan("")), 0.0);
    EXPECT_EQ(activate(ACTIVATION_RELU, -0.0), 0.0);
    EXPECT_EQ(activate(ACTIVATION_LINEAR, -2.5), -2.5);
    EXPECT_DOUBLE_EQ(activate(ACTIVATION_TANH, 1.0), std::tanh(1.0));
    EXPECT_EQ(activate(7, 3.0), 0.0);
    EXPECT_EQ(activate(-1, 3.0), 0.0);
}

}  // namespace
}  // namespace tessavo
