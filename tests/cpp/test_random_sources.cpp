#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "evolution/random.hpp"
#include "evolution_support.hpp"
#include "network/network.hpp"

namespace tessavo::testing {
namespace {

// Mean and variance of n values from draw().
template <class Draw>
std::pair<double, double> moments(int n, Draw draw) {
    double sum = 0.0, squares = 0.0;
    for (int k = 0; k < n; ++k) {
        const double v = draw();
        sum += v;
        squares += v * v;
    }
    const double mean = sum / n;
    return {mean, squares / n - mean * mean};
}

constexpr int many = 200000;

// Every source must keep its distribution whether its seeds come
// from the operating system or count up one by one (a fixed seed's stream).
struct SourceCase {
    const char* name;
    bool counting_seeds;
    bool normal;  // else uniform on [0, 1)
};

class Distributions : public ::testing::TestWithParam<SourceCase> {
protected:
    void TearDown() override { set_device_source({}); }
};

TEST_P(Distributions, MeanAndVarianceHold) {
    const SourceCase c = GetParam();
    uint32_t next = 1;
    if (c.counting_seeds) set_device_source([&] { return next++; });
    const auto [mean, variance] =
        moments(many, [&] { return c.normal ? fresh_normal(0.0, 1.0) : fresh_uniform(0.0, 1.0); });
    const double expected_variance = c.normal ? 1.0 : 1.0 / 12.0;
    const double expected_mean = c.normal ? 0.0 : 0.5;
    // Five standard errors of the mean, and a few percent of the variance.
    EXPECT_NEAR(mean, expected_mean, 5.0 * std::sqrt(expected_variance / many));
    EXPECT_NEAR(variance, expected_variance, 0.02 * expected_variance);
}

INSTANTIATE_TEST_SUITE_P(FreshDraws, Distributions,
                         ::testing::Values(SourceCase{"DeviceUniform", false, false},
                                           SourceCase{"DeviceNormal", false, true},
                                           SourceCase{"CountingUniform", true, false},
                                           SourceCase{"CountingNormal", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Consecutive seeds must not give related values: neighbouring draws are
// uncorrelated and the low bits of every output are balanced.
TEST(RandomEngine, ConsecutiveSeedsGiveUnrelatedStreams) {
    double sum_xy = 0.0, previous = 0.0;
    long low_bits = 0;
    for (uint32_t seed = 1; seed <= static_cast<uint32_t>(many); ++seed) {
        RandomEngine engine(seed);
        const double u = canonical_uniform(engine) - 0.5;
        sum_xy += u * previous;
        previous = u;
        low_bits += engine() & 1u;
    }
    EXPECT_NEAR(sum_xy / many, 0.0, 5.0 / 12.0 / std::sqrt(static_cast<double>(many)));
    EXPECT_NEAR(static_cast<double>(low_bits), many / 2.0, 5.0 * std::sqrt(many / 4.0));
}

// A forked child must not replay the cached device values and stream state
// that its parent goes on to use.
TEST(RandomDevice, ForkedChildDrawsItsOwnValues) {
    fresh_uniform(0.0, 1.0);  // the parent now holds cached values
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const double values[2] = {fresh_uniform(0.0, 1.0), static_cast<double>(device_value())};
        _exit(write(fds[1], values, sizeof values) == sizeof values ? 0 : 1);
    }
    const double own[2] = {fresh_uniform(0.0, 1.0), static_cast<double>(device_value())};
    double theirs[2] = {};
    ASSERT_EQ(read(fds[0], theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_NE(own[0], theirs[0]);
    EXPECT_NE(own[1], theirs[1]);
}

// A network's engine is its own: one seed per network, advanced only by its
// own draws, and copies share the stream.
TEST(RandomEngine, NetworkNormalsAreStandardAndOwnedByTheirNetwork) {
    Network a(1, 1, false), b(1, 1, false);
    const Network copy_of_b = b;
    const auto [mean, variance] = moments(many, [&] { return network_normal(a); });
    EXPECT_NEAR(mean, 0.0, 5.0 / std::sqrt(static_cast<double>(many)));
    EXPECT_NEAR(variance, 1.0, 0.02);
    EXPECT_TRUE(b.rng == copy_of_b.rng);
    EXPECT_FALSE(a.rng == b.rng);
}

using RandomSources = EvolutionTest;

TEST_F(RandomSources, FreshDrawsUseOneDeviceValueEach) {
    queue({42u, 43u, 44u});
    EXPECT_EQ(fresh_uniform(0.0, 1.0), reference_uniform(42u));
    EXPECT_EQ(fresh_uniform(-2.0, 6.0), reference_uniform(43u) * 8.0 - 2.0);
    EXPECT_EQ(fresh_normal(1.5, 0.25), 1.5 + 0.25 * reference_normal(44u));
    EXPECT_EQ(device_reads, 3);
}

// One engine serves a run of draws; a new source takes effect at once.
TEST_F(RandomSources, StreamReseedsEveryIntervalAndOnANewSource) {
    set_fresh_reseed_interval(3);
    queue({42u});
    RandomEngine engine(42u);
    const double first = canonical_uniform(engine);
    EXPECT_EQ(fresh_uniform(0.0, 1.0), first);
    EXPECT_EQ(fresh_normal(0.0, 1.0), polar_step(engine).first);
    for (int k = 0; k < 5; ++k) fresh_uniform(0.0, 1.0);
    EXPECT_EQ(device_reads, 3);
    set_device_source([] { return 42u; });
    EXPECT_EQ(fresh_uniform(0.0, 1.0), first);
}

// A run of normals gives the values of as many single draws, whatever its
// length against the chunks it is computed in, and in either stream mode.
TEST_F(RandomSources, RunOfNormalsMatchesSingleDraws) {
    for (const uint32_t interval : {1u, default_fresh_reseed_interval}) {
        set_fresh_reseed_interval(interval);
        for (const std::size_t count : {0u, 1u, 16u, 17u, 40u}) {
            std::vector<double> means(count), deviations(count), run(count), single;
            for (std::size_t k = 0; k < count; ++k) {
                means[k] = 0.5 * k;
                deviations[k] = k % 3 == 0 ? 0.0 : 0.25 * k;
            }
            set_device_source([n = 7u]() mutable { return n++; });
            fresh_stream().normals(means.data(), deviations.data(), run.data(), count);
            set_device_source([n = 7u]() mutable { return n++; });
            for (std::size_t k = 0; k < count; ++k)
                single.push_back(fresh_normal(means[k], deviations[k]));
            EXPECT_EQ(run, single) << interval << " " << count;
        }
    }
}

TEST_F(RandomSources, ZeroDeviationReturnsTheMeanExactly) {
    for (const double mean : {0.0, 3.25, -1e-300}) EXPECT_EQ(fresh_normal(mean, 0.0), mean);
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

    c_srand(100);
    const int a1 = c_rand(), a2 = c_rand();
    c_srand(101);
    const int b1 = c_rand(), b2 = c_rand(), b3 = c_rand();

    EXPECT_EQ(random_activation(), a1 % 4);
    EXPECT_EQ(random_activation(), a2 % 4);
    EXPECT_EQ(random_int(5, 5), 5);  // reseeds from the clock, consumes b1
    EXPECT_EQ(random_int(-3, 9), -3 + b2 % 13);
    EXPECT_EQ(random_activation(), b3 % 4);
    EXPECT_EQ(clock_reads, 2u);
    (void)b1;
}

// A seed fixes the device values and the C generator, whatever was drawn
// or seeded before; none brings back the device and the clock seeding.
TEST(SeededSources, RepeatFromTheSeed) {
    auto draws = [] {
        std::vector<int64_t> values;
        for (int k = 0; k < 4; ++k) values.push_back(device_value());
        values.push_back(random_int(0, 1 << 30));
        values.push_back(random_activation());
        return values;
    };
    seed_sources(42);
    const std::vector<int64_t> first = draws();
    c_srand(7);
    seed_sources(42);
    EXPECT_EQ(draws(), first);
    seed_sources(43);
    EXPECT_NE(draws(), first);
    unseed_sources();
    int clock_reads = 0;
    set_clock_source([&] { return static_cast<uint32_t>(++clock_reads); });
    random_int(0, 1);
    EXPECT_EQ(clock_reads, 1);
    EXPECT_NE(device_value(), device_value());
    set_clock_source({});
}

// An item's draws come from its engine alone: the same engine gives the same
// values, the C generator stays uniform, and the thread's own sources are
// back once the item ends.
TEST(ItemDraws, ServeEveryDrawFromTheItemsEngine) {
    auto draws = [] {
        std::vector<int64_t> values;
        for (int k = 0; k < 3; ++k) values.push_back(device_value());
        values.push_back(static_cast<int64_t>(fresh_uniform(0.0, 1.0) * 1e15));
        values.push_back(random_int(0, 1 << 30));
        values.push_back(random_activation());
        return values;
    };
    std::vector<int64_t> first, second;
    {
        ItemDraws item(derived_engine(5, 1));
        first = draws();
        std::vector<int> counts(10, 0);
        for (int k = 0; k < 100000; ++k) ++counts[random_int(0, 9)];
        for (const int c : counts) EXPECT_NEAR(c, 10000, 500);
    }
    EXPECT_EQ(&fresh_stream(), &fresh_stream_of_thread);
    {
        ItemDraws item(derived_engine(5, 1));
        second = draws();
    }
    EXPECT_EQ(first, second);
    ItemDraws other(derived_engine(5, 2));
    EXPECT_NE(draws(), first);
}

}  // namespace
}  // namespace tessavo::testing
