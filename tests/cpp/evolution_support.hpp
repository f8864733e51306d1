// Shared helpers of the evolution operator tests: deterministic random
// sources, small networks and the invariants of the network record.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "evolution/random.hpp"
#include "network/network.hpp"

namespace tessavo::testing {

using Links = std::vector<std::pair<int32_t, int32_t>>;

// The random device replays queued values, then counts up from 1, and each
// fresh draw takes its own device value; the clock is fixed. Both seeding
// flags are spent in SetUp, so srand alone places the C generator.
class EvolutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_fresh_reseed_interval(1);
        set_device_source([this] {
            ++device_reads;
            if (queued.empty()) return counter++;
            const uint32_t value = queued.front();
            queued.pop_front();
            return value;
        });
        set_clock_source([] { return 777u; });
        reset_seeding_flags();
        random_int(0, 0);
        random_activation();
        c_srand(1);
    }
    void TearDown() override {
        set_device_source({});
        set_clock_source({});
        set_fresh_reseed_interval(default_fresh_reseed_interval);
    }
    void queue(std::initializer_list<uint32_t> values) {
        queued.insert(queued.end(), values.begin(), values.end());
    }

    std::deque<uint32_t> queued;
    uint32_t counter = 1;
    int device_reads = 0;
};

inline double reference_uniform(uint32_t seed) {
    RandomEngine engine(seed);
    return canonical_uniform(engine);
}

inline double reference_normal(uint32_t seed) {
    RandomEngine engine(seed);
    return polar_step(engine).first;
}

// The first seed from `start` on whose fresh uniform satisfies `wanted`.
inline uint32_t seed_for_uniform(const std::function<bool(double)>& wanted, uint32_t start = 1) {
    uint32_t seed = start;
    while (!wanted(reference_uniform(seed))) ++seed;
    return seed;
}
inline uint32_t low_seed(double below = 0.5, uint32_t start = 1) {
    return seed_for_uniform([below](double u) { return u < below; }, start);
}
inline uint32_t high_seed(double at_least = 0.5, uint32_t start = 1) {
    return seed_for_uniform([at_least](double u) { return u >= at_least; }, start);
}

// Seeds rand() so that its next values satisfy rand() % m == r for each
// (m, r) in order; returns the seed.
inline unsigned arrange_rand(const std::vector<std::pair<int, int>>& wants) {
    for (unsigned seed = 1;; ++seed) {
        c_srand(seed);
        bool all = true;
        for (const auto& [m, r] : wants) all = all && c_rand() % m == r;
        if (all) {
            c_srand(seed);
            return seed;
        }
    }
}

// The next `count` values of the network's engine's normal draws, leaving
// the network untouched.
inline std::vector<double> upcoming_normals(const Network& network, int count) {
    RandomEngine engine = network.rng;
    std::vector<double> out;
    for (int k = 0; k < count; ++k) out.push_back(polar_step(engine).first);
    return out;
}

// A network with the given links; biases, codes, values and weights are
// distinct markers.
inline Network make_network(int32_t inputs, int32_t outputs, int32_t size, bool recurrent,
                            const Links& links) {
    Network network(inputs, outputs, recurrent);
    resize(network, size);
    for (int32_t i = 0; i < size; ++i) {
        network.biases[i] = 0.5 + i;
        network.values[i] = -0.25 - i;
        network.sums[i] = 0.125 * i;
        network.activations[i] = i % activation_count;
    }
    for (const auto& [from, to] : links) set_link(network, from, to, 1.0 + from + 0.01 * to);
    return network;
}

inline Links links_of(const Network& network) {
    Links out;
    for (int32_t from = 0; from < network.size; ++from)
        for (int32_t to = 0; to < network.size; ++to)
            if (has_link(network, from, to)) out.emplace_back(from, to);
    return out;
}

// Every field that the operators may change.
inline void expect_same_network(const Network& actual, const Network& expected) {
    EXPECT_EQ(actual.size, expected.size);
    EXPECT_EQ(actual.biases, expected.biases);
    EXPECT_EQ(actual.sums, expected.sums);
    EXPECT_EQ(actual.values, expected.values);
    EXPECT_EQ(actual.activations, expected.activations);
    EXPECT_EQ(actual.weights, expected.weights);
    EXPECT_EQ(actual.links, expected.links);
    EXPECT_TRUE(actual.rng == expected.rng) << "engine states differ";
}

// The invariants of the network record that every operator keeps.
inline ::testing::AssertionResult keeps_invariants(const Network& n) {
    const std::size_t size = static_cast<std::size_t>(n.size);
    if (n.biases.size() != size || n.sums.size() != size || n.values.size() != size ||
        n.activations.size() != size || n.weights.size() != size * size ||
        n.links.size() != size * size) {
        return ::testing::AssertionFailure() << "vector lengths do not match size " << n.size;
    }
    if (n.inputs + n.outputs > n.size) return ::testing::AssertionFailure() << "too few nodes";
    for (int32_t from = 0; from < n.size; ++from) {
        for (int32_t to = 0; to < n.size; ++to) {
            const bool linked = has_link(n, from, to);
            if (!linked && weight(n, from, to) != 0.0)
                return ::testing::AssertionFailure()
                       << "weight without link " << from << "->" << to;
            if (!linked) continue;
            if (to < n.inputs)
                return ::testing::AssertionFailure() << "link into input " << from << "->" << to;
            if (from >= n.size - n.outputs)
                return ::testing::AssertionFailure() << "link out of output " << from << "->" << to;
            if (!n.recurrent && from >= to)
                return ::testing::AssertionFailure() << "backward link " << from << "->" << to;
        }
    }
    for (const int32_t code : n.activations) {
        if (code < 0 || code >= activation_count)
            return ::testing::AssertionFailure() << "activation code " << code;
    }
    return ::testing::AssertionSuccess();
}

// A random valid feed-forward network: random forward links, then one way out
// for every non-output node and one way in for every non-input node.
inline Network random_valid_feed_forward(std::mt19937& rng, int32_t inputs, int32_t outputs) {
    const int32_t size = inputs + outputs + static_cast<int32_t>(rng() % 6);
    Network network(inputs, outputs, false);
    resize(network, size);
    std::normal_distribution<double> normal;
    const auto link = [&](int32_t from, int32_t to) { set_link(network, from, to, normal(rng)); };
    const auto below = [&](int32_t n) { return static_cast<int32_t>(rng() % n); };
    for (int32_t i = 0; i < size; ++i) {
        network.biases[i] = normal(rng);
        network.activations[i] = below(activation_count);
    }
    const double density = 0.1 + 0.5 * (rng() % 100) / 100.0;
    for (int32_t from = 0; from < size - outputs; ++from)
        for (int32_t to = std::max(inputs, from + 1); to < size; ++to)
            if ((rng() % 1000) / 1000.0 < density) link(from, to);
    for (int32_t i = 0; i < size - outputs; ++i) {
        bool out = false;
        for (int32_t j = i + 1; j < size; ++j) out = out || has_link(network, i, j);
        const int32_t lo = std::max(inputs, i + 1);
        if (!out) link(i, lo + below(size - lo));
    }
    for (int32_t i = inputs; i < size; ++i) {
        bool in = false;
        for (int32_t j = 0; j < i; ++j) in = in || has_link(network, j, i);
        const int32_t hi = std::min(i, size - outputs);  // sources below i, never an output
        if (!in) link(below(hi), i);
    }
    return network;
}

inline Network random_valid_feed_forward(std::mt19937& rng) {
    const int32_t inputs = 1 + static_cast<int32_t>(rng() % 3);
    return random_valid_feed_forward(rng, inputs, 1 + static_cast<int32_t>(rng() % 3));
}

}  // namespace tessavo::testing
