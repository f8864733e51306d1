// Long random runs of the operators: whatever they draw, valid feed-forward
// networks stay valid and every network keeps the invariants of its record.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "evolution/crossover.hpp"
#include "evolution/failure.hpp"
#include "evolution/mutation.hpp"
#include "evolution/structural.hpp"
#include "evolution_support.hpp"

namespace tessavo::testing {
namespace {

using Properties = EvolutionTest;

TEST_F(Properties, MutationKeepsFeedForwardNetworksValid) {
    std::mt19937 pick(3);
    int calls = 0;
    for (int round = 0; round < 60; ++round) {
        Network network = random_valid_feed_forward(pick);
        ASSERT_TRUE(is_valid(network));
        for (int step = 0; step < 500; ++step, ++calls) {
            mutate(network);
            ASSERT_TRUE(is_valid(network)) << "round " << round << " step " << step;
            ASSERT_TRUE(keeps_invariants(network)) << "round " << round << " step " << step;
        }
    }
    EXPECT_EQ(calls, 30000);
}

// Structural mutations only, so that nodes come and go all the time.
TEST_F(Properties, StructuralMutationsKeepFeedForwardNetworksValid) {
    void (*const operations[])(Network&) = {add_node, remove_node, add_connection,
                                            remove_connection};
    std::mt19937 pick(5);
    int largest = 0;
    for (int round = 0; round < 40; ++round) {
        Network network = random_valid_feed_forward(pick);
        for (int step = 0; step < 300; ++step) {
            operations[pick() % 4](network);
            largest = std::max(largest, network.size);
            ASSERT_TRUE(is_valid(network)) << "round " << round << " step " << step;
            ASSERT_TRUE(keeps_invariants(network)) << "round " << round << " step " << step;
        }
    }
    EXPECT_GT(largest, 20);
}

// Recurrent networks may break through remove node, and only through it;
// the record stays sound either way.
TEST_F(Properties, MutationKeepsRecurrentNetworksSound) {
    std::mt19937 pick(9);
    int failures = 0;
    ::testing::internal::CaptureStdout();
    for (int round = 0; round < 60; ++round) {
        Network network(1 + pick() % 2, 1 + pick() % 2, true);
        resize(network, network.inputs + network.outputs + 1 + static_cast<int32_t>(pick() % 4));
        randomize_dense(network);
        for (int step = 0; step < 150; ++step) {
            try {
                mutate(network);
            } catch (const BrokenNetwork& e) {
                ASSERT_EQ(std::string(e.what()), "Remove node mutation broke network.");
                ++failures;
                ASSERT_TRUE(keeps_invariants(network));
                break;
            }
            ASSERT_TRUE(is_valid(network)) << "round " << round << " step " << step;
            ASSERT_TRUE(keeps_invariants(network)) << "round " << round << " step " << step;
        }
    }
    const std::string written = ::testing::internal::GetCapturedStdout();
    std::string expected;
    for (int k = 0; k < failures; ++k) expected += "Remove node mutation broke network.\n";
    EXPECT_EQ(written, expected);
    EXPECT_GT(failures, 0);  // the path is reached
}

// Generations of crossover and mutation, as a training run makes them:
// children of valid parents are valid, whatever their sizes.
TEST_F(Properties, CrossoverChildrenOfValidParentsAreValid) {
    std::mt19937 pick(13);
    for (int run = 0; run < 4; ++run) {
        const int32_t inputs = 1 + static_cast<int32_t>(pick() % 3);
        const int32_t outputs = 1 + static_cast<int32_t>(pick() % 3);
        std::vector<Network> population;
        for (int k = 0; k < 12; ++k)
            population.push_back(random_valid_feed_forward(pick, inputs, outputs));
        std::uniform_real_distribution<double> score(0.0, 1.0);
        for (int generation = 0; generation < 25; ++generation) {
            std::vector<double> scores;
            for (std::size_t k = 0; k < population.size(); ++k) scores.push_back(score(pick));
            if (generation % 5 == 0) scores.assign(population.size(), 0.0);
            std::vector<Network> children = crossover_population(population, scores);
            ASSERT_EQ(children.size(), 2 * population.size());
            for (const Network& child : children) {
                ASSERT_TRUE(is_valid(child));
                ASSERT_TRUE(keeps_invariants(child));
                ASSERT_EQ(child.inputs, inputs);
                ASSERT_EQ(child.outputs, outputs);
            }
            mutate_population(children);
            children.resize(population.size());
            population = children;
        }
    }
}

}  // namespace
}  // namespace tessavo::testing
