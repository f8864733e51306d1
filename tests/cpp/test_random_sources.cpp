#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "evolution/fresh_engine.hpp"
#include "evolution/random.hpp"
#include "evolution_support.hpp"
#include "network/network.hpp"

namespace tessavo::testing {
namespace {

std::vector<uint32_t> test_seeds() {
    std::vector<uint32_t> seeds = {0u, 1u, 5489u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    std::mt19937 pick(2024);
    for (int k = 0; k < 300; ++k) seeds.push_back(pick());
    return seeds;
}

// Past output 226 the lazy engine hands over to a full one and past 623 the
// full one twists again: compare well beyond both.
TEST(FreshEngine, GivesTheOutputsOfStdMt19937) {
    for (const uint32_t seed : test_seeds()) {
        FreshEngine fresh(seed);
        std::mt19937 reference(seed);
        for (int k = 0; k < 1400; ++k) ASSERT_EQ(fresh(), reference()) << seed << " output " << k;
    }
}

TEST(FreshEngine, LockstepSeedingAndReseedingChangeNothing) {
    const std::vector<uint32_t> seeds = test_seeds();
    FreshEngine engines[8];
    for (std::size_t start = 0; start + 8 <= seeds.size(); start += 8) {
        for (std::size_t e = 0; e < 8; ++e) engines[e].reseed(seeds[start + e]);
        seed_in_lockstep(engines);
        for (std::size_t e = 0; e < 8; ++e) {
            std::mt19937 reference(seeds[start + e]);
            const int outputs = 1 + static_cast<int>((start + 97 * e) % 700);
            for (int k = 0; k < outputs; ++k) ASSERT_EQ(engines[e](), reference());
        }
    }
}

using RandomSources = EvolutionTest;

TEST_F(RandomSources, FreshDrawsUseOneDeviceValueEach) {
    queue({42u, 43u, 44u});
    EXPECT_EQ(fresh_uniform(0.0, 1.0), reference_uniform(42u));
    EXPECT_EQ(fresh_uniform(-2.0, 6.0), reference_uniform(43u) * 8.0 - 2.0);
    EXPECT_EQ(fresh_normal(1.5, 0.25), 1.5 + 0.25 * reference_normal(44u));
    EXPECT_EQ(device_reads, 3);
}

TEST_F(RandomSources, ZeroDeviationReturnsTheMeanExactly) {
    for (const double mean : {0.0, 3.25, -1e-300}) EXPECT_EQ(fresh_normal(mean, 0.0), mean);
}

// A run of draws reads the same device values in the same order as single
// calls, never more than announced, whatever its length against the batch.
TEST_F(RandomSources, FreshDrawsMatchSingleCalls) {
    for (const std::size_t count : {0u, 1u, 7u, 8u, 9u, 16u, 23u}) {
        const uint32_t first = counter;
        FreshDraws draws(count);
        for (std::size_t k = 0; k < count; ++k) {
            const uint32_t seed = first + static_cast<uint32_t>(k);
            if (k % 3 == 0) {
                ASSERT_EQ(draws.uniform(0.0, 1.0), reference_uniform(seed));
            } else {
                ASSERT_EQ(draws.normal(2.0, 0.5), 2.0 + 0.5 * reference_normal(seed));
            }
        }
        EXPECT_EQ(counter, first + count);
        EXPECT_THROW(draws.uniform(0.0, 1.0), std::logic_error);
    }
}

TEST_F(RandomSources, NetworkNormalKeepsNoPartner) {
    Network network(1, 1, false);
    const std::vector<double> expected = upcoming_normals(network, 3);
    for (const double value : expected) EXPECT_EQ(network_normal(network), value);
    EXPECT_EQ(device_reads, 1);  // the construction only
}

TEST_F(RandomSources, ShuffleIsAPermutationFromOneEngine) {
    for (const int m : {0, 1, 2, 5, 40, 300}) {
        std::vector<int32_t> items(m);
        for (int i = 0; i < m; ++i) items[i] = i;
        const int reads = device_reads;
        queue({99u});
        shuffle_indices(items);
        EXPECT_EQ(device_reads, reads + 1);
        std::vector<int32_t> again(m);
        for (int i = 0; i < m; ++i) again[i] = i;
        queue({99u});
        shuffle_indices(again);
        EXPECT_EQ(items, again);
        std::sort(items.begin(), items.end());
        for (int i = 0; i < m; ++i) ASSERT_EQ(items[i], i);
    }
}

TEST_F(RandomSources, ShuffleIsUniform) {
    std::map<std::vector<int32_t>, int> seen;
    const int rounds = 6000;
    for (int k = 0; k < rounds; ++k) {
        std::vector<int32_t> items = {0, 1, 2};
        shuffle_indices(items);
        ++seen[items];
    }
    ASSERT_EQ(seen.size(), 6u);
    for (const auto& [order, count] : seen) EXPECT_NEAR(count, rounds / 6, 150);
}

// Two flags guard the one C generator: each seeds it from the clock once.
TEST_F(RandomSources, EachSeedingFlagSeedsOnce) {
    unsigned clock_reads = 0;
    set_clock_source([&] { return 100u + clock_reads++; });
    reset_seeding_flags();

    std::srand(100);
    const int a1 = std::rand(), a2 = std::rand();
    std::srand(101);
    const int b1 = std::rand(), b2 = std::rand(), b3 = std::rand();

    EXPECT_EQ(random_activation(), a1 % 4);
    EXPECT_EQ(random_activation(), a2 % 4);
    EXPECT_EQ(random_int(5, 5), 5);  // reseeds from the clock, consumes b1
    EXPECT_EQ(random_int(-3, 9), -3 + b2 % 13);
    EXPECT_EQ(random_activation(), b3 % 4);
    EXPECT_EQ(clock_reads, 2u);
    (void)b1;
}

}  // namespace
}  // namespace tessavo::testing
