#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "evolution/failure.hpp"
#include "evolution/mutation.hpp"
#include "evolution_support.hpp"

namespace tessavo::testing {
namespace {

using Mutation = EvolutionTest;

TEST_F(Mutation, DispatcherFrequenciesMatchTheThresholds) {
    const double rest = 0.7 * 0.7 * 0.9 * 0.9;
    const double expected[] = {
        0.3,         0.7 * 0.3,          0.7 * 0.7 * 0.1,   0.7 * 0.7 * 0.9 * 0.1,
        rest * 0.05, rest * 0.95 * 0.05, rest * 0.95 * 0.95};
    const int draws = 60000;
    int counts[7] = {};
    for (int k = 0; k < draws; ++k) ++counts[static_cast<int>(choose_mutation())];
    for (int step = 0; step < 7; ++step) {
        const double mean = draws * expected[step];
        EXPECT_NEAR(counts[step], mean, 5.0 * std::sqrt(mean) + 10.0) << "step " << step;
    }
}

// Device values whose dispatcher draws select `step` (0 = perturb ... 6 = none).
std::vector<uint32_t> selecting(int step) {
    static const uint32_t fail = high_seed(0.3);
    static const uint32_t pass[] = {low_seed(0.3), low_seed(0.3),  low_seed(0.1),
                                    low_seed(0.1), low_seed(0.05), low_seed(0.05)};
    std::vector<uint32_t> values(std::min(step, 6), fail);
    if (step < 6) values.push_back(pass[step]);
    return values;
}

struct StepCase {
    int step;
    const char* line;  // written and raised on a network without connections
};

// A chosen step never falls through, and only structural steps are checked,
// even when they find nothing to do.
TEST_F(Mutation, EachStepAndItsCheck) {
    const StepCase cases[] = {{0, ""},
                              {1, ""},
                              {2, "Add node mutation broke network."},
                              {3, "Remove node mutation broke network."},
                              {4, "Remove connection mutation broke network."},
                              {5, "Add connection mutation broke network."},
                              {6, ""}};
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.step);
        Network network = make_network(2, 1, 3, false, {});
        const Network before = network;
        const int reads = device_reads;
        for (const uint32_t v : selecting(c.step)) queued.push_back(v);
        ::testing::internal::CaptureStdout();
        std::string raised;
        try {
            mutate(network);
        } catch (const BrokenNetwork& e) {
            raised = e.what();
        }
        const std::string written = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(raised, c.line);
        EXPECT_EQ(written, raised.empty() ? "" : raised + "\n");
        if (c.step >= 2 && c.step <= 4) {
            EXPECT_EQ(device_reads, reads + c.step + 1);  // nothing to do, no later test
            expect_same_network(network, before);
        }
        if (c.step == 5) {
            EXPECT_EQ(links_of(network).size(), 1u);
        }
        if (c.step == 6) expect_same_network(network, before);
        queued.clear();
    }
}

// Input 0, hidden A = 1 and V = 2, output O = 3; removing V leaves A with
// only a self-connection.
TEST_F(Mutation, RecurrentRemoveNodeFailure) {
    Network network = make_network(1, 1, 4, true, {{0, 1}, {1, 2}, {2, 1}, {0, 3}});
    const Network before = network;
    const double bypass = upcoming_normals(network, 1)[0];
    for (const uint32_t v : selecting(3)) queued.push_back(v);
    const int reads = device_reads;
    const unsigned seed = arrange_rand({{2, 1}});  // random_int(1, 2) picks V
    c_rand();
    const int after_choice = c_rand();
    c_srand(seed);

    ::testing::internal::CaptureStdout();
    std::string raised;
    try {
        mutate(network);
    } catch (const BrokenNetwork& e) {
        raised = e.what();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Remove node mutation broke network.\n");
    EXPECT_EQ(raised, "Remove node mutation broke network.");

    EXPECT_EQ(network.size, 3);
    EXPECT_EQ(links_of(network), (Links{{0, 1}, {0, 2}, {1, 1}}));
    EXPECT_EQ(weight(network, 0, 1), weight(before, 0, 1));
    EXPECT_EQ(weight(network, 0, 2), weight(before, 0, 3));
    EXPECT_EQ(weight(network, 1, 1), bypass);
    EXPECT_EQ(network.biases, (std::vector<double>{0.5, 1.5, 3.5}));
    EXPECT_EQ(network.values, (std::vector<double>{-0.25, -1.25, -3.25}));
    EXPECT_EQ(device_reads, reads + 4);
    EXPECT_EQ(c_rand(), after_choice);  // one choice, nothing more
}

// Each bias, then the weights of its row, moves by its own fresh draw with
// a deviation of 20 % of its magnitude; zeros stay put but still draw.
TEST_F(Mutation, PerturbationOrderAndScale) {
    Network network = make_network(1, 1, 3, false, {{0, 1}, {0, 2}, {1, 2}});
    network.biases[1] = 0.0;
    set_weight(network, 0, 2, 0.0);
    const Network before = network;
    const uint32_t first = counter;
    perturb_parameters(network);

    uint32_t seed = first;
    const auto moved = [&](double v) { return v + 0.2 * std::fabs(v) * reference_normal(seed++); };
    EXPECT_EQ(network.biases[0], moved(before.biases[0]));
    EXPECT_EQ(weight(network, 0, 1), moved(weight(before, 0, 1)));
    EXPECT_EQ(weight(network, 0, 2), 0.0);
    ++seed;
    EXPECT_EQ(network.biases[1], 0.0);
    ++seed;
    EXPECT_EQ(weight(network, 1, 2), moved(weight(before, 1, 2)));
    EXPECT_EQ(network.biases[2], moved(before.biases[2]));
    EXPECT_EQ(counter, seed);
    EXPECT_EQ(network.links, before.links);
    EXPECT_EQ(network.activations, before.activations);
}

TEST_F(Mutation, ActivationPassSparesInputsAndRedrawsRarely) {
    Network network = make_network(2, 1, 5, false, {});
    const int passes = 4000;
    int redrawn = 0;
    for (int pass = 0; pass < passes; ++pass) {
        std::fill(network.activations.begin(), network.activations.end(), -1);
        mutate_activations(network);
        EXPECT_EQ(network.activations[0], -1);
        EXPECT_EQ(network.activations[1], -1);
        for (int32_t i = 2; i < 5; ++i) redrawn += network.activations[i] != -1;
    }
    EXPECT_NEAR(redrawn, 0.05 * 3 * passes, 100);
}

// A failure stops the loop: earlier networks are mutated, later ones not.
TEST_F(Mutation, PopulationStopsAtTheFirstFailure) {
    std::vector<Network> networks = {make_network(2, 1, 4, false, {{0, 2}, {1, 3}, {2, 3}}),
                                     make_network(2, 1, 3, false, {}),
                                     make_network(2, 1, 3, false, {{0, 2}, {1, 2}})};
    const std::vector<Network> before = networks;
    for (const uint32_t v : selecting(5)) queued.push_back(v);
    for (const uint32_t v : selecting(3)) queued.push_back(v);
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(mutate_population(networks), BrokenNetwork);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(links_of(networks[0]).size(), 4u);
    expect_same_network(networks[2], before[2]);
    EXPECT_TRUE(queued.empty());
}

}  // namespace
}  // namespace tessavo::testing
