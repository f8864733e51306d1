#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "evolution/random.hpp"
#include "network/network.hpp"
#include "training/evolve.hpp"
#include "training/breeding.hpp"
#include "training/alpha.hpp"
#include "training/population.hpp"
#include "training/workers.hpp"

namespace tessavo {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

std::vector<LossRow> rows_of(const std::vector<double>& primary) {
    std::vector<LossRow> rows;
    for (const double v : primary) rows.push_back({v, 1.0});
    return rows;
}

struct TournamentCase {
    std::vector<double> losses;
    std::vector<int32_t> places;
    std::vector<int32_t> winners;
};

class Tournament : public ::testing::TestWithParam<TournamentCase> {};

TEST_P(Tournament, Winners) {
    const auto& c = GetParam();
    EXPECT_EQ(
        tournament_winners(rows_of(c.losses), c.places, static_cast<int32_t>(c.places.size() / 4)),
        c.winners);
}

INSTANTIATE_TEST_SUITE_P(FixedPlaces, Tournament,
                         ::testing::Values(
                             // P = 1: the two pool members hold two places each.
                             TournamentCase{{0.5, 0.2}, {0, 1, 0, 1}, {1}},
                             TournamentCase{{0.5, 0.2}, {1, 1, 0, 0}, {1}},
                             // Equal losses: the first candidate of each group wins.
                             TournamentCase{{0.3, 0.3, 0.3, 0.3}, {2, 0, 1, 3, 1, 3, 0, 2}, {2, 1}},
                             // A later equal loss does not replace the winner.
                             TournamentCase{{0.2, 0.1, 0.1, 0.5}, {3, 2, 1, 0}, {2}},
                             // NaN at the head of a group wins it; elsewhere it never wins.
                             TournamentCase{{nan, 0.1, 0.2, 0.3}, {0, 1, 2, 3}, {0}},
                             TournamentCase{{nan, 0.1, 0.2, 0.3}, {3, 0, 2, 1}, {1}},
                             TournamentCase{{0.4, nan, nan, 0.3}, {1, 2, 0, 3, 0, 1, 2, 3}, {1, 3}},
                             // Infinite losses lose to any finite one, and compare equal.
                             TournamentCase{{inf, inf, 0.7, 0.9}, {0, 1, 1, 0}, {0}},
                             TournamentCase{{inf, inf, 0.7, 0.9}, {0, 1, 3, 2}, {2}}));

// Pool of networks told apart by their first bias.
std::vector<Network> marked_pool(std::size_t count) {
    std::vector<Network> pool;
    for (std::size_t i = 0; i < count; ++i) {
        Network n(2, 1, false);
        resize(n, 4);
        n.biases[0] = static_cast<double>(i);
        set_link(n, 0, 3, 0.5 + static_cast<double>(i));
        pool.push_back(std::move(n));
    }
    return pool;
}

std::map<int, int> survivor_counts(const Population& survivors) {
    std::map<int, int> counts;
    for (std::size_t k = 0; k < survivors.members.size(); ++k) {
        const Network& n = survivors.members[k];
        // No survivor may be a moved-from shell, and each keeps its own row.
        EXPECT_EQ(n.size, 4);
        EXPECT_EQ(n.weights.size(), 16u);
        EXPECT_EQ(weight(n, 0, 3), 0.5 + n.biases[0]);
        EXPECT_EQ(survivors.losses[k][1], n.biases[0]);
        ++counts[static_cast<int>(n.biases[0])];
    }
    return counts;
}

Population select(const std::vector<double>& primary, int32_t count) {
    std::vector<LossRow> rows;
    for (std::size_t i = 0; i < primary.size(); ++i) {
        rows.push_back({primary[i], static_cast<double>(i)});
    }
    return select_survivors(marked_pool(primary.size()), std::move(rows), count);
}

TEST(SelectSurvivors, SingleMemberPopulationKeepsTheLowerLoss) {
    for (int run = 0; run < 20; ++run) {
        const Population survivors = select({0.5, 0.25}, 1);
        ASSERT_EQ(survivors.members.size(), 1u);
        EXPECT_EQ(survivors.members[0].biases[0], 1.0);
        EXPECT_EQ(survivors.losses[0][0], 0.25);
    }
}

TEST(SelectSurvivors, EqualLossesGiveEachMemberAtMostTwoPlaces) {
    for (int run = 0; run < 20; ++run) {
        const Population survivors = select(std::vector<double>(16, 0.3), 8);
        ASSERT_EQ(survivors.members.size(), 8u);
        for (const auto& [member, count] : survivor_counts(survivors)) EXPECT_LE(count, 2);
    }
}

TEST(SelectSurvivors, ClearlyBestSurvivesOnceOrTwice) {
    for (int run = 0; run < 30; ++run) {
        std::vector<double> losses(12, 0.5);
        losses[7] = 0.1;
        const auto counts = survivor_counts(select(losses, 6));
        ASSERT_TRUE(counts.count(7)) << "run " << run;
        EXPECT_LE(counts.at(7), 2);
    }
}

TEST(SelectSurvivors, DuplicatedWinnersAreIndependentCopies) {
    // Two members with the lowest losses win every group they are in, so
    // whichever wins twice must come out as two separate networks.
    for (int run = 0; run < 20; ++run) {
        std::vector<double> losses = {0.9, 0.1, 0.9, 0.2};
        Population survivors = select(losses, 2);
        ASSERT_EQ(survivors.members.size(), 2u);
        survivors.members[0].biases[1] = 42.0;
        EXPECT_NE(survivors.members[1].biases[1], 42.0);
    }
}

struct BestCase {
    std::vector<double> losses;
    std::optional<std::size_t> index;
};

class FindBest : public ::testing::TestWithParam<BestCase> {};

TEST_P(FindBest, Index) { EXPECT_EQ(find_best(rows_of(GetParam().losses)), GetParam().index); }

INSTANTIATE_TEST_SUITE_P(
    Losses, FindBest,
    ::testing::Values(BestCase{{0.3, 0.2, 0.2}, 1}, BestCase{{nan, nan, nan}, std::nullopt},
                      BestCase{{inf, nan, std::numeric_limits<double>::max()}, std::nullopt},
                      BestCase{{nan, 5.0, -inf}, 2}, BestCase{{}, std::nullopt},
                      BestCase{{-1.0, nan, -1.0}, 0}));

Network dense(int32_t inputs, int32_t outputs, int32_t size, bool recurrent) {
    Network n(inputs, outputs, recurrent);
    resize(n, size);
    randomize_dense(n);
    return n;
}

TEST(RunGeneration, KeepsPopulationSizeAndStopsOnScorerFailure) {
    Population population;
    population.members = seed_population(dense(2, 1, 5, false), 3);
    ASSERT_EQ(population.members.size(), 3u);
    population.losses.assign(3, LossRow{0.0});
    std::size_t pool_size = 0;
    ASSERT_TRUE(run_generation(population, [&](std::vector<Network>& pool, auto& rows) {
        pool_size = pool.size();
        rows.assign(pool.size(), LossRow{1.0});
        return true;
    }));
    EXPECT_EQ(pool_size, 6u);
    EXPECT_EQ(population.members.size(), 3u);
    EXPECT_EQ(population.losses.size(), 3u);
    EXPECT_FALSE(run_generation(population, [](auto&, auto&) { return false; }));
}

TEST(SeedPopulation, FirstMemberIsAnUnchangedClone) {
    const Network start = dense(3, 2, 7, true);
    const std::vector<Network> population = seed_population(start, 4);
    ASSERT_EQ(population.size(), 4u);
    EXPECT_EQ(population[0].biases, start.biases);
    EXPECT_EQ(population[0].weights, start.weights);
    EXPECT_EQ(population[0].links, start.links);
    EXPECT_EQ(population[0].activations, start.activations);
}

TEST(ShuffleTogether, KeepsPairsAndFollowsTheCGenerator) {
    for (const int64_t n : {0, 1, 2, 100}) {
        // Series of two steps (i, i + 0.5) with the target -i.
        auto make = [n](SeriesBlock& x, SeriesBlock& y) {
            x = {{}, n, 2, 1};
            y = {{}, n, 1, 1};
            for (int64_t i = 0; i < n; ++i) {
                x.values.insert(x.values.end(), {double(i), double(i) + 0.5});
                y.values.push_back(-double(i));
            }
        };
        SeriesBlock x, y;
        make(x, y);
        std::srand(7);
        shuffle_together(x, y);
        ASSERT_EQ(x.values.size(), static_cast<std::size_t>(2 * n));
        std::vector<bool> seen(n, false);
        bool moved = false;
        for (int64_t k = 0; k < n; ++k) {
            const double id = x.values[2 * k];
            EXPECT_EQ(x.values[2 * k + 1], id + 0.5);
            EXPECT_EQ(y.values[k], -id);
            EXPECT_FALSE(seen[static_cast<std::size_t>(id)]);
            seen[static_cast<std::size_t>(id)] = true;
            moved = moved || id != static_cast<double>(k);
        }
        if (n == 100) {
            EXPECT_TRUE(moved);
        }
        // The same generator state gives the same order.
        SeriesBlock x2, y2;
        make(x2, y2);
        std::srand(7);
        shuffle_together(x2, y2);
        EXPECT_EQ(x2.values, x.values);
    }
}

TEST(BatchCount, ExactCeiling) {
    EXPECT_EQ(batch_count(10, 3), 4);
    EXPECT_EQ(batch_count(10, 10), 1);
    EXPECT_EQ(batch_count(10, 11), 1);
    EXPECT_EQ(batch_count(16777217, 1), 16777217);
    EXPECT_EQ(batch_count(16777217, 2), 8388609);
}

}  // namespace
}  // namespace tessavo

namespace tessavo {
namespace {

// Every member's genes and engine after a few seeded generations.
std::vector<Network> seeded_history(int32_t threads) {
    set_worker_limit(threads);
    seed_sources(42);
    Population population;
    // Large enough for the breeding to run on the pool.
    Network start(2, 1, false);
    resize(start, 7);
    randomize_dense(start);
    population.members = seed_population(start, 300);
    population.losses.assign(300, LossRow{0.0});
    for (int generation = 0; generation < 4; ++generation) {
        run_generation(population, [](std::vector<Network>& pool, std::vector<LossRow>& rows) {
            rows.clear();
            for (const Network& n : pool) {
                double sum = 0.0;
                for (const double b : n.biases) sum += b;
                rows.push_back({std::fabs(sum)});
            }
            return true;
        });
    }
    unseed_sources();
    set_worker_limit(0);
    return population.members;
}

TEST(ParallelBreeding, SeededHistoryIsTheSameOnAnyNumberOfThreads) {
    const std::vector<Network> one = seeded_history(1);
    for (const int32_t threads : {2, 3}) {
        const std::vector<Network> many = seeded_history(threads);
        ASSERT_EQ(many.size(), one.size());
        for (std::size_t i = 0; i < one.size(); ++i) {
            EXPECT_EQ(many[i].biases, one[i].biases) << threads << " threads, member " << i;
            EXPECT_EQ(many[i].weights, one[i].weights);
            EXPECT_EQ(many[i].links, one[i].links);
            EXPECT_EQ(many[i].activations, one[i].activations);
            EXPECT_EQ(many[i].rng, one[i].rng);
        }
    }
}

TEST(ParallelBreeding, AFailingItemStopsTheJobAndLeavesThePoolUsable) {
    set_worker_limit(3);
    std::vector<uint32_t> first(1000);
    auto breed = [&](std::size_t i, RandomEngine& engine) {
        if (i == 537) throw std::runtime_error("item 537");
        first[i] = engine();
    };
    EXPECT_THROW(breed_in_parallel(first.size(), 9, 1e9, breed), std::runtime_error);
    // The same job again, on the same threads, gives each item its own draws.
    std::vector<uint32_t> second(1000);
    breed_in_parallel(second.size(), 9, 1e9,
                      [&](std::size_t i, RandomEngine& engine) { second[i] = engine(); });
    set_worker_limit(0);
    for (std::size_t i = 0; i < second.size(); ++i) {
        RandomEngine expected = derived_engine(9, i);
        ASSERT_EQ(second[i], expected()) << i;
    }
}

}  // namespace
}  // namespace tessavo
