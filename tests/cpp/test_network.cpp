#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "evolution/random.hpp"
#include "network/activation_math.hpp"
#include "network/network.hpp"

namespace tessavo {
namespace {

// Makes the random device and the clock deterministic for one test.
class Seams : public ::testing::Test {
protected:
    void SetUp() override {
        set_device_source([this] { return next_seed_++; });
        set_clock_source([] { return 12345u; });
        reset_seeding_flags();
    }
    void TearDown() override {
        set_device_source({});
        set_clock_source({});
    }
    uint32_t next_seed_ = 1000;
};

std::vector<std::pair<int, int>> links_of(const Network& n) {
    std::vector<std::pair<int, int>> out;
    for (int from = 0; from < n.size; ++from)
        for (int to = 0; to < n.size; ++to)
            if (has_link(n, from, to)) out.emplace_back(from, to);
    return out;
}

TEST_F(Seams, ConstructionIsBlankWithSeededEngine) {
    Network n(2, 1, false);
    EXPECT_EQ(n.size, 3);
    EXPECT_EQ(n.biases, std::vector<double>(3, 0.0));
    EXPECT_EQ(n.activations, std::vector<int32_t>(3, 0));
    EXPECT_EQ(n.values, std::vector<double>(3, 0.0));
    EXPECT_TRUE(links_of(n).empty());
    RandomEngine expected(1000);
    EXPECT_EQ(n.rng(), expected());
    Network other(2, 1, false);
    EXPECT_NE(n.rng(), other.rng());
}

TEST(Polar, CanonicalUniformUsesTwoOutputs) {
    std::mt19937 a(7), b(7);
    const double x1 = b(), x2 = b();
    EXPECT_EQ(canonical_uniform(a), (x1 + x2 * 4294967296.0) / 18446744073709551616.0);
    EXPECT_EQ(a, b);
}

TEST(Polar, StepMatchesThePolarMethod) {
    for (uint32_t seed = 1; seed < 200; ++seed) {
        std::mt19937 engine(seed), reference(seed);
        const auto [first, second] = polar_step(engine);
        double p, q, s;
        do {
            p = 2.0 * canonical_uniform(reference) - 1.0;
            q = 2.0 * canonical_uniform(reference) - 1.0;
            s = p * p + q * q;
        } while (s >= 1.0 || p == 0.0 || q == 0.0);
        ASSERT_GT(s, 1e-4);  // the scaled branch is covered below
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        EXPECT_EQ(first, p * f);
        EXPECT_EQ(second, q * f);
        EXPECT_EQ(engine, reference);
    }
}

// An engine that replays fixed outputs, to reach the tiny-s branch.
struct Replay {
    std::vector<uint32_t> outputs;
    std::size_t at = 0;
    uint32_t operator()() { return outputs.at(at++); }
};

TEST(Polar, TinyPairsAreRescaled) {
    // u = 0.5 + 2^-20 gives p = 2^-19, and s far below 1e-4.
    const uint64_t bits = (uint64_t{1} << 63) + (uint64_t{1} << 44);
    const auto lo = static_cast<uint32_t>(bits), hi = static_cast<uint32_t>(bits >> 32);
    Replay engine{{lo, hi, lo, hi}};
    const auto [first, second] = polar_step(engine);
    const double p = std::ldexp(1.0, -19);
    const double s = 2.0 * p * p;
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    EXPECT_NEAR(first, p * f, 1e-12 * std::fabs(p * f));
    EXPECT_EQ(first, second);
    EXPECT_TRUE(std::isfinite(first));
}

// The reference draw order: biases (with a code after each), then weights,
// both variates of each polar step used in turn.
void expect_dense(const Network& n, uint32_t seed, const std::vector<std::pair<int, int>>& order,
                  int steps) {
    RandomEngine engine(seed);
    std::vector<double> normals;
    for (int i = 0; i < steps; ++i) {
        const auto [a, b] = polar_step(engine);
        normals.push_back(a);
        normals.push_back(b);
    }
    c_srand(12345);
    std::size_t next = 0;
    for (int i = 0; i < n.size; ++i) {
        EXPECT_EQ(n.biases[i], normals[next++]) << "bias " << i;
        EXPECT_EQ(n.activations[i], c_rand() % 4) << "code " << i;
    }
    EXPECT_EQ(links_of(n), order);
    for (auto [from, to] : order) EXPECT_EQ(weight(n, from, to), normals[next++]);
    EXPECT_EQ(n.rng, engine) << "the engine ran exactly the needed polar steps";
}

TEST_F(Seams, RandomizeDenseFeedForward) {
    Network n(2, 1, false);
    resize(n, 4);
    randomize_dense(n);
    // 4 biases + 5 weights = 9 draws = 5 polar steps, the last partner unused.
    expect_dense(n, 1000, {{0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}, 5);
}

TEST_F(Seams, RandomizeDenseRecurrent) {
    Network n(2, 1, true);
    resize(n, 4);
    randomize_dense(n);
    expect_dense(n, 1000, {{0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 2}, {2, 3}}, 5);
}

TEST_F(Seams, KeptVariateCarriesFromLastBiasIntoFirstWeight) {
    Network n(2, 1, false);  // 3 biases + 2 weights: the 4th draw is a kept one
    randomize_dense(n);
    RandomEngine engine(1000);
    const auto step1 = polar_step(engine);
    const auto step2 = polar_step(engine);
    const auto step3 = polar_step(engine);
    EXPECT_EQ(n.biases[2], step2.first);
    EXPECT_EQ(weight(n, 0, 2), step2.second);
    EXPECT_EQ(weight(n, 1, 2), step3.first);
    EXPECT_EQ(n.biases[0], step1.first);
    EXPECT_EQ(n.rng, engine);
}

TEST_F(Seams, DenseConnectionCounts) {
    for (bool recurrent : {false, true}) {
        for (int hidden : {0, 1, 4}) {
            const int I = 3, O = 2;
            Network n(I, O, recurrent);
            resize(n, I + hidden + O);
            randomize_dense(n);
            const std::size_t expected =
                recurrent ? (I + hidden) * (hidden + O)
                          : I * (hidden + O) + hidden * (hidden - 1) / 2 + hidden * O;
            EXPECT_EQ(connection_count(n), expected);
            for (auto [from, to] : links_of(n)) {
                EXPECT_GE(to, I) << "nothing enters an input";
                EXPECT_LT(from, n.size - O) << "nothing leaves an output";
                if (!recurrent) {
                    EXPECT_LT(from, to);
                }
            }
        }
    }
}

TEST_F(Seams, ResizeResetsButKeepsEngineAndShape) {
    Network n(2, 1, true);
    resize(n, 5);
    randomize_dense(n);
    n.values.assign(5, 3.0);
    const RandomEngine engine = n.rng;
    resize(n, 4);
    EXPECT_EQ(n.size, 4);
    EXPECT_EQ(n.biases, std::vector<double>(4, 0.0));
    EXPECT_EQ(n.values, std::vector<double>(4, 0.0));
    EXPECT_EQ(n.weights, std::vector<double>(16, 0.0));
    EXPECT_TRUE(links_of(n).empty());
    EXPECT_EQ((std::vector<int>{n.inputs, n.outputs, n.recurrent}), (std::vector<int>{2, 1, 1}));
    EXPECT_EQ(n.rng, engine);
}

TEST_F(Seams, CloneHasANewEngineAndCopyTheSame) {
    Network n(2, 1, false);
    resize(n, 4);
    randomize_dense(n);
    n.values = {1, 2, 3, 4};
    Network cloned = clone(n);
    Network copied = n;
    EXPECT_EQ(cloned.values, n.values);
    EXPECT_EQ(cloned.weights, n.weights);
    EXPECT_EQ(cloned.links, n.links);
    EXPECT_EQ(cloned.activations, n.activations);
    EXPECT_NE(cloned.rng, n.rng);
    EXPECT_EQ(copied.rng, n.rng);
    EXPECT_EQ(copied.rng(), n.rng());
    const std::vector<double> input{0.5, -0.5};
    EXPECT_EQ(forward(cloned, input), forward(n, input));
}

// Into buffers of smaller, larger and recurrent networks alike: the same
// record as a plain copy, and the same with a new engine for a clone.
TEST_F(Seams, CopyAndCloneIntoReusedBuffers) {
    Network n(2, 1, false);
    resize(n, 5);
    randomize_dense(n);
    n.values = {1, 2, 3, 4, 5};
    for (const int size : {3, 5, 8}) {
        Network copied(1, 2, true), cloned(1, 2, true);
        resize(copied, size);
        resize(cloned, size);
        copy_into(copied, n);
        clone_into(cloned, n);
        for (const Network* out : {&copied, &cloned}) {
            EXPECT_EQ((std::vector<int>{out->size, out->inputs, out->outputs, out->recurrent}),
                      (std::vector<int>{5, 2, 1, 0}));
            EXPECT_EQ(out->biases, n.biases);
            EXPECT_EQ(out->sums, n.sums);
            EXPECT_EQ(out->values, n.values);
            EXPECT_EQ(out->activations, n.activations);
            EXPECT_EQ(out->weights, n.weights);
            EXPECT_EQ(out->links, n.links);
        }
        EXPECT_EQ(copied.rng, n.rng);
        EXPECT_NE(cloned.rng, n.rng);
    }
}

TEST(Activation, Codes) {
    EXPECT_DOUBLE_EQ(activate(ACTIVATION_SIGMOID, 0.0), 0.5);
    EXPECT_EQ(activate(ACTIVATION_SIGMOID, -1000.0), 0.0);
    EXPECT_EQ(activate(ACTIVATION_RELU, std::nan("")), 0.0);
    EXPECT_EQ(activate(ACTIVATION_RELU, -0.0), 0.0);
    EXPECT_EQ(activate(ACTIVATION_RELU, -3.0), 0.0);
    EXPECT_EQ(activate(ACTIVATION_LINEAR, -2.5), -2.5);
    EXPECT_EQ(activate(ACTIVATION_TANH, 1.0), tanh_ieee(1.0));
    EXPECT_EQ(activate(ACTIVATION_SIGMOID, 1.5), 1.0 / (exp_ieee(-1.5) + 1.0));
    EXPECT_EQ(activate(7, 3.0), 0.0);
    EXPECT_EQ(activate(-1, 3.0), 0.0);
    EXPECT_EQ(activation_code("relu"), 2);
    EXPECT_EQ(activation_code("Relu"), -1);
}

// 1 input, hidden node 1, output 2; all linear, biases 0; 0->1, 1->1, 1->2.
Network counter(bool recurrent) {
    Network n;
    n.inputs = 1;
    n.outputs = 1;
    n.recurrent = recurrent;
    resize(n, 3);
    n.activations.assign(3, ACTIVATION_LINEAR);
    set_link(n, 0, 1, 1.0);
    set_link(n, 1, 1, 1.0);
    set_link(n, 1, 2, 1.0);
    return n;
}

TEST(Forward, RecurrentStateCarriesAndClears) {
    Network n = counter(true);
    const std::vector<double> one{1.0};
    EXPECT_EQ(forward(n, one), std::vector<double>{1.0});
    EXPECT_EQ(forward(n, one), std::vector<double>{2.0});
    EXPECT_EQ(forward(n, one), std::vector<double>{3.0});
    clear_state(n);
    EXPECT_EQ(forward(n, one), std::vector<double>{1.0});
}

TEST(Forward, FeedForwardIgnoresSelfAndBackwardLinks) {
    Network n = counter(false);
    set_link(n, 2, 1, 5.0);
    const std::vector<double> one{1.0};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(forward(n, one), std::vector<double>{1.0});
}

TEST(Forward, NoHiddenNoLinksGivesActivatedBias) {
    Network n;
    n.inputs = 1;
    n.outputs = 2;
    resize(n, 3);
    n.biases = {9.0, 0.0, -1.5};
    n.activations = {ACTIVATION_SIGMOID, ACTIVATION_SIGMOID, ACTIVATION_LINEAR};
    EXPECT_EQ(forward(n, std::vector<double>{4.0}), (std::vector<double>{0.5, -1.5}));
    EXPECT_EQ(n.values[0], 4.0) << "an input passes unchanged whatever its bias and code";
}

TEST(Forward, SumsInIncreasingSourceOrderWithoutFusing) {
    // Values chosen so that another order or a fused multiply-add differs.
    Network n;
    n.inputs = 3;
    n.outputs = 1;
    resize(n, 4);
    n.activations[3] = ACTIVATION_LINEAR;
    n.biases[3] = 1e16;
    set_link(n, 0, 3, 1.0);
    set_link(n, 1, 3, 1.0);
    set_link(n, 2, 3, 0.1);
    const std::vector<double> input{1.0, 1.0, 1.0 / 3.0};
    volatile double product = 0.1 * (1.0 / 3.0);
    double expected = 1e16;
    expected = expected + 1.0;
    expected = expected + 1.0;
    expected = expected + product;
    EXPECT_EQ(forward(n, input)[0], expected);
}

TEST(Forward, OutputsAreTheLastNodesInOrder) {
    Network n;
    n.inputs = 1;
    n.outputs = 3;
    resize(n, 5);
    n.activations.assign(5, ACTIVATION_LINEAR);
    n.biases = {0, 10, 20, 30, 40};
    EXPECT_EQ(forward(n, std::vector<double>{0.0}), (std::vector<double>{20, 30, 40}));
}

}  // namespace
}  // namespace tessavo
