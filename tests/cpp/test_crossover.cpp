#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "evolution/crossover.hpp"
#include "evolution/failure.hpp"
#include "evolution_support.hpp"

namespace tessavo::testing {
namespace {

struct ValidityCase {
    const char* name;
    Network network;
    bool valid;
};

TEST(IsValid, LocalChecksOfEveryNode) {
    const ValidityCase cases[] = {
        {"empty", Network(), true},
        {"inputs_feed_outputs", make_network(2, 2, 4, false, {{0, 2}, {1, 3}}), true},
        {"input_without_way_out", make_network(2, 1, 3, false, {{0, 2}}), false},
        {"output_not_fed", make_network(1, 2, 3, false, {{0, 1}}), false},
        {"hidden_feeds_only_itself", make_network(1, 1, 3, true, {{0, 1}, {1, 1}, {0, 2}}), false},
        {"hidden_fed_only_by_itself", make_network(1, 1, 3, true, {{1, 1}, {1, 2}, {0, 2}}), false},
        {"recurrent_loop", make_network(1, 1, 4, true, {{0, 1}, {1, 2}, {2, 1}, {2, 3}}), true},
        // A way out must lead to a non-input node.
        {"input_feeds_input", make_network(2, 1, 3, false, {{0, 1}, {1, 2}}), false},
    };
    for (const ValidityCase& c : cases) EXPECT_EQ(is_valid(c.network), c.valid) << c.name;
}

// Distinct genes per parent: biases, codes and weights start at base.
Network marked(Network network, int base) {
    for (int32_t i = 0; i < network.size; ++i) {
        network.biases[i] = base + i;
        network.activations[i] = (base + i) % activation_count;
    }
    for (const auto& [from, to] : links_of(network))
        set_link(network, from, to, base + from + 0.1 * to);
    return network;
}

using Crossover = EvolutionTest;

// Parents of sizes 4 and 5 (2 inputs, 1 output), the size-5 parent dominant,
// for every outcome of the five node draws and the two shared-connection draws.
TEST_F(Crossover, AlignsGenesByIndexUnderTheDominantParent) {
    const Network a = marked(make_network(2, 1, 4, false, {{0, 2}, {1, 3}, {2, 3}}), 10);
    const Network b =
        marked(make_network(2, 1, 5, false, {{0, 2}, {0, 3}, {1, 3}, {2, 4}, {3, 4}}), 20);
    const uint32_t take_a = seed_for_uniform([](double u) { return u <= 0.5; });
    const uint32_t take_b = seed_for_uniform([](double u) { return u > 0.5; });

    for (unsigned pattern = 0; pattern < 128; ++pattern) {
        const auto from_a = [pattern](int draw) { return ((pattern >> draw) & 1u) != 0; };
        queue({1u});  // the child's engine
        for (int draw = 0; draw < 7; ++draw) queue({from_a(draw) ? take_a : take_b});
        const Network child = crossover(a, b, 2.0, 1.0);

        ASSERT_EQ(child.size, 5);
        for (int32_t i = 0; i < 5; ++i) {
            const Network& parent = from_a(i) && i < a.size ? a : b;
            EXPECT_EQ(child.biases[i], parent.biases[i]) << pattern << " node " << i;
            EXPECT_EQ(child.activations[i], parent.activations[i]);
        }
        EXPECT_EQ(links_of(child), links_of(b));
        EXPECT_EQ(weight(child, 0, 2), weight(from_a(5) ? a : b, 0, 2));
        EXPECT_EQ(weight(child, 1, 3), weight(from_a(6) ? a : b, 1, 3));
        for (const auto& [from, to] : Links{{0, 3}, {2, 4}, {3, 4}})
            EXPECT_EQ(weight(child, from, to), weight(b, from, to));
        EXPECT_TRUE(queued.empty());
    }
}

// With equal scores the first parent rules: its size and its connections.
TEST_F(Crossover, EqualScoresFavourTheFirstParent) {
    const Network small = marked(make_network(2, 1, 4, false, {{0, 2}, {1, 3}, {2, 3}}), 10);
    const Network large =
        marked(make_network(2, 1, 5, false, {{0, 2}, {0, 3}, {1, 3}, {2, 4}, {3, 4}}), 20);
    for (int round = 0; round < 30; ++round) {
        const Network child = crossover(small, large, 0.5, 0.5);
        EXPECT_EQ(child.size, 4);
        EXPECT_EQ(links_of(child), links_of(small));
        const Network other = crossover(large, small, 0.5, 0.5);
        EXPECT_EQ(other.size, 5);
        EXPECT_EQ(other.biases[4], large.biases[4]);
        EXPECT_EQ(links_of(other), links_of(large));
    }
}

// A child starts without state and takes the first parent's shape.
TEST_F(Crossover, ChildIsFreshAndKeepsToTheInheritedRange) {
    // Out of an output, into an input, self and backward: only some survive.
    const Links odd = {{0, 1}, {0, 2}, {2, 2}, {3, 2}, {2, 3}, {3, 0}, {3, 3}};
    for (const bool recurrent : {false, true}) {
        const Network parent = make_network(1, 1, 4, recurrent, odd);
        const Network child = crossover(parent, parent, 0.0, 0.0);
        EXPECT_EQ(child.inputs, 1);
        EXPECT_EQ(child.outputs, 1);
        EXPECT_EQ(child.recurrent, recurrent);
        EXPECT_EQ(child.values, std::vector<double>(4, 0.0));
        EXPECT_EQ(child.sums, std::vector<double>(4, 0.0));
        EXPECT_EQ(links_of(child), recurrent ? (Links{{0, 1}, {0, 2}, {2, 2}, {2, 3}})
                                             : (Links{{0, 1}, {0, 2}, {2, 3}}));
    }
}

using CrossoverPopulation = EvolutionTest;

// Parent p is recognisable by the bias of node 0.
std::vector<Network> numbered_parents(int n) {
    std::vector<Network> parents;
    for (int p = 0; p < n; ++p) {
        Network parent = make_network(1, 1, 3, false, {{0, 1}, {1, 2}});
        parent.biases[0] = p;
        parents.push_back(parent);
    }
    return parents;
}

// The pairing follows one shuffle of 0..n-1, 0..n-1: every parent takes part
// in exactly two pairings.
TEST_F(CrossoverPopulation, PairsFollowOneShuffle) {
    const uint32_t copy = low_seed();
    for (const int n : {1, 2, 3, 5, 8}) {
        const std::vector<Network> parents = numbered_parents(n);
        std::vector<int32_t> order(2 * n);
        for (int j = 0; j < 2 * n; ++j) order[j] = j % n;
        queue({4242u});
        shuffle_indices(order);

        queue({4242u});
        for (int p = 0; p < n; ++p) queue({copy, 1u, 2u});  // copy-or-cross, two clones
        const std::vector<Network> children =
            crossover_population(parents, std::vector<double>(n, 0.0));
        ASSERT_EQ(children.size(), order.size());
        std::map<double, int> pairings;
        for (std::size_t k = 0; k < children.size(); ++k) {
            EXPECT_EQ(children[k].biases[0], order[k]);
            ++pairings[children[k].biases[0]];
        }
        for (const auto& [parent, count] : pairings) EXPECT_EQ(count, 2) << parent;
        EXPECT_TRUE(queued.empty());
    }
}

// One parent is paired with itself: two crossovers (no state) or two clones
// (state kept), always with the parent's genes.
TEST_F(CrossoverPopulation, SingleParentPairsWithItself) {
    const Network parent = make_network(2, 1, 4, false, {{0, 2}, {1, 2}, {2, 3}, {1, 3}});
    for (const bool cross : {true, false}) {
        queue({7u, cross ? high_seed() : low_seed()});
        const std::vector<Network> children = crossover_population({parent}, {0.0});
        ASSERT_EQ(children.size(), 2u);
        for (const Network& child : children) {
            EXPECT_EQ(child.biases, parent.biases);
            EXPECT_EQ(child.activations, parent.activations);
            EXPECT_EQ(child.weights, parent.weights);
            EXPECT_EQ(child.links, parent.links);
            EXPECT_EQ(child.values, cross ? std::vector<double>(4, 0.0) : parent.values);
        }
    }
}

TEST_F(CrossoverPopulation, BrokenParentsAndChildrenAreReported) {
    const Network broken = make_network(2, 1, 3, false, {{0, 2}});
    const Network sound = make_network(2, 1, 3, false, {{0, 2}, {1, 2}});
    ::testing::internal::CaptureStdout();
    try {
        crossover_population({broken, sound, broken}, {0.0, 0.0, 0.0});
        ADD_FAILURE() << "no failure raised";
    } catch (const BrokenNetwork& e) {
        EXPECT_EQ(std::string(e.what()), "Crossover broke network");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "One of networks already broken.\nCrossover broke network\n");

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(crossover_population({sound, sound}, {0.0, 1.0}).size(), 4u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace tessavo::testing
