#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "random/c_generator.hpp"
#include "random/sources.hpp"

namespace tessavo::testing {
namespace {

// The held generator is the C library's: seeded alike, the same values, so
// seeded histories made with rand() stay what they were.
TEST(CGenerator, GivesTheCLibrarysValues) {
    for (const uint32_t seed : {0u, 1u, 2u, 42u, 12345u, 2147483646u, 2147483647u, 2147483648u,
                                4000000000u, 4294967295u}) {
        CGenerator generator;
        generator.seed(seed);
        std::srand(seed);
        for (int k = 0; k < 2000; ++k) ASSERT_EQ(generator.next(), std::rand()) << seed << " " << k;
    }
    // Unseeded, it is where srand(1) puts it.
    CGenerator unseeded, one;
    one.seed(1);
    for (int k = 0; k < 100; ++k) ASSERT_EQ(unseeded.next(), one.next());
}

TEST(CGenerator, StateRoundTripsAndImpossibleTapsAreRefused) {
    CGenerator a;
    a.seed(9);
    for (int k = 0; k < 17; ++k) a.next();
    CGenerator b;
    ASSERT_TRUE(b.set_state(a.state()));
    for (int k = 0; k < 100; ++k) ASSERT_EQ(a.next(), b.next());
    CGenerator::State bad = a.state();
    bad.front = (bad.rear + 4) % CGenerator::degree;
    EXPECT_FALSE(b.set_state(bad));
    bad.rear = 31;
    EXPECT_FALSE(b.set_state(bad));
    RandomEngine engine(3);
    EXPECT_FALSE(engine.set_state({0, 0, 0, 0}));
    EXPECT_EQ(engine, RandomEngine(3));
}

// Every kind of draw a run makes on its own thread, interleaved.
std::vector<int64_t> draws(int count) {
    std::vector<int64_t> values;
    for (int k = 0; k < count; ++k) {
        values.push_back(static_cast<int64_t>(fresh_uniform(0.0, 1.0) * 1e15));
        values.push_back(device_value());
        values.push_back(c_rand());
        values.push_back(random_activation());
        values.push_back(random_int(0, 1000));
        std::vector<int32_t> order = {0, 1, 2, 3, 4, 5, 6, 7};
        shuffle_indices(order);
        for (const int32_t i : order) values.push_back(i);
    }
    return values;
}

class RunStreams : public ::testing::Test {
protected:
    void TearDown() override {
        set_fresh_reseed_interval(default_fresh_reseed_interval);
        unseed_sources();
    }
};

// A capture taken anywhere in a seeded run brings back the draws that
// followed it, whatever was drawn or seeded in between, across reseeds of
// the fresh stream (a short interval puts several inside the window).
TEST_F(RunStreams, RestoreRepeatsTheDrawsAfterTheCapture) {
    set_fresh_reseed_interval(7);
    for (const int before : {0, 1, 5, 13}) {
        seed_sources(77);
        draws(before);
        const RandomStreams saved = capture_random_streams();
        const std::vector<int64_t> expected = draws(40);
        seed_sources(78);
        draws(3);
        c_srand(5);
        restore_random_streams(saved);
        EXPECT_EQ(draws(40), expected) << before;
    }
}

// Unseeded, the clock-seeding flags are part of the state: a restore made
// before either fired lets them fire again, one made after does not.
TEST_F(RunStreams, SeedingFlagsAreRestored) {
    unsigned clock_reads = 0;
    set_clock_source([&] { return 1000u + clock_reads++; });
    unseed_sources();
    const RandomStreams fresh_flags = capture_random_streams();
    random_activation();
    random_int(0, 3);
    EXPECT_EQ(clock_reads, 2u);
    const RandomStreams spent = capture_random_streams();
    const int32_t next = c_rand();
    restore_random_streams(fresh_flags);
    random_activation();
    EXPECT_EQ(clock_reads, 3u);
    restore_random_streams(spent);
    EXPECT_EQ(c_rand(), next);
    EXPECT_EQ(clock_reads, 3u);
    set_clock_source({});
}

// A run with a seed of its own draws from an item scope: its capture holds
// that scope's engine and C generator, and is refused outside such a scope.
TEST_F(RunStreams, ItemScopeCapturesItsOwnStreams) {
    seed_sources(5);
    RandomStreams saved;
    std::vector<int64_t> expected;
    {
        ItemDraws scope(RandomEngine(11));
        draws(2);
        saved = capture_random_streams();
        expected = draws(20);
    }
    const RandomStreams process = capture_random_streams();
    {
        ItemDraws scope(RandomEngine(99));
        c_rand();
        restore_random_streams(saved);
        EXPECT_EQ(draws(20), expected);
        EXPECT_THROW(restore_random_streams(process), std::invalid_argument);
    }
    EXPECT_THROW(restore_random_streams(saved), std::invalid_argument);
    // The process's streams were not touched by the scope.
    const RandomStreams after = capture_random_streams();
    EXPECT_EQ(after.device_state, process.device_state);
    EXPECT_EQ(after.c_generator.words, process.c_generator.words);
}

}  // namespace
}  // namespace tessavo::testing
