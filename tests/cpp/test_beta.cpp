#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "network/network.hpp"
#include "random/sources.hpp"
#include "training/beta.hpp"

namespace tessavo {
namespace {

Network dense(int32_t inputs, int32_t size, bool recurrent) {
    Network n(inputs, 1, recurrent);
    resize(n, size);
    randomize_dense(n);
    return n;
}

bool same_network(const Network& a, const Network& b) {
    return a.size == b.size && a.weights == b.weights && a.biases == b.biases &&
           a.links == b.links && a.activations == b.activations;
}

TEST(BetaOperators, ApportioningGivesLeftoversToTheLargestRemainders) {
    // Exact 3.5, 2.1, 1.4: floors 3, 2, 1 and the one left over to 0.5.
    EXPECT_EQ(apportion({0.5, 0.3, 0.2}, 1.0, 7), (std::vector<int32_t>{4, 2, 1}));
    // Exact 1.2, 1.8, 3.0: the leftover goes to 0.8, not to 0.2 or 0.0.
    EXPECT_EQ(apportion({2.0, 3.0, 5.0}, 10.0, 6), (std::vector<int32_t>{1, 2, 3}));
    // Two left over, equal remainders: species order decides.
    EXPECT_EQ(apportion({1.0, 1.0, 1.0}, 3.0, 5), (std::vector<int32_t>{2, 2, 1}));
    // A zero share gets a child only by its remainder.
    EXPECT_EQ(apportion({0.0, 1.0}, 1.0, 4), (std::vector<int32_t>{0, 4}));
    EXPECT_EQ(apportion({0.0, 0.0}, 0.0, 3), (std::vector<int32_t>{2, 1}));
}

TEST(BetaOperators, StepAdaptationScalesLogNormallyBothWays) {
    RandomEngine engine = derived_engine(17, 0);
    std::vector<double> logs;
    for (int i = 0; i < 4000; ++i) logs.push_back(std::log(adapt_step(0.5, engine) / 0.5));
    double mean = 0.0, square = 0.0;
    for (const double v : logs) mean += v / logs.size();
    for (const double v : logs) square += (v - mean) * (v - mean) / logs.size();
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(std::sqrt(square), 0.15, 0.01);
    const auto grown = std::count_if(logs.begin(), logs.end(), [](double v) { return v > 0; });
    EXPECT_GT(grown, 1800);
    EXPECT_LT(grown, 2200);
    EXPECT_EQ(adapt_step(1e-9, engine), 1e-4);
    EXPECT_EQ(adapt_step(1e9, engine), 1e3);
}

TEST(BetaOperators, PerturbationStepsMostParametersAndRedrawsAFew) {
    seed_sources(4);
    const Network start = dense(6, 40, false);
    Network moved = start;
    RandomEngine engine = derived_engine(3, 1);
    // A tiny step: a stepped parameter barely moves, a redrawn one jumps.
    beta_perturb(moved, engine, 1.0, 1e-6);
    int stepped = 0, redrawn = 0, kept = 0;
    auto classify = [&](double before, double after) {
        const double change = std::fabs(after - before);
        if (change == 0.0) {
            ++kept;
        } else if (change < 1e-4) {
            ++stepped;
        } else {
            ++redrawn;
        }
    };
    for (int32_t i = start.inputs; i < start.size; ++i) classify(start.biases[i], moved.biases[i]);
    for (std::size_t at = 0; at < start.links.size(); ++at) {
        if (start.links[at]) classify(start.weights[at], moved.weights[at]);
    }
    const int total = stepped + redrawn + kept;
    EXPECT_EQ(kept, 0);  // rate 1 moves every parameter
    EXPECT_NEAR(static_cast<double>(redrawn) / total, 0.05, 0.02);
    EXPECT_EQ(moved.links, start.links);
    EXPECT_EQ(moved.biases[0], start.biases[0]);  // inputs' biases stay

    // At a rate of 0.2 about a fifth move; at rate 0, still one.
    Network some = start;
    beta_perturb(some, engine, 0.2, 1.0);
    int changed = 0;
    for (std::size_t at = 0; at < start.links.size(); ++at) {
        changed += start.links[at] && some.weights[at] != start.weights[at];
    }
    const auto links = static_cast<double>(connection_count(start));
    EXPECT_NEAR(changed / links, 0.2, 0.04);
    Network one = start;
    beta_perturb(one, engine, 0.0, 1.0);
    int one_changed = 0;
    for (std::size_t at = 0; at < start.links.size(); ++at) {
        one_changed += one.weights[at] != start.weights[at];
    }
    for (int32_t i = 0; i < start.size; ++i) one_changed += one.biases[i] != start.biases[i];
    EXPECT_EQ(one_changed, 1);
    unseed_sources();
}

TEST(BetaOperators, DistanceCountsShapeLinksActivationsAndWeights) {
    seed_sources(5);
    const Network a = dense(2, 5, false);
    EXPECT_EQ(compatibility_distance(a, a), 0.0);
    Network b = a;
    clear_link(b, 0, 4);
    b.activations[3] = (a.activations[3] + 1) % activation_count;
    // One link only a has, one activation differs; the rest is shared.
    EXPECT_DOUBLE_EQ(compatibility_distance(a, b), 2.0);
    set_weight(b, 1, 4, weight(a, 1, 4) + 1.1);
    const double shared = static_cast<double>(connection_count(b)) + 3.0;  // links, biases
    EXPECT_DOUBLE_EQ(compatibility_distance(a, b), 2.0 + 0.4 * 1.1 / shared);
    Network c = a;
    resize(c, 7);
    EXPECT_DOUBLE_EQ(compatibility_distance(a, c),
                     0.1 * (2.0 * 2 + static_cast<double>(connection_count(a))));
    unseed_sources();
}

// One generation on a scorer that ranks by the first output's bias, with
// each network's step visible through how far its children move.
class BetaSearchTest : public ::testing::Test {
protected:
    void TearDown() override { unseed_sources(); }
    static PoolScorer by_bias(std::vector<std::vector<Network>>& seen) {
        return [&seen](std::vector<Network>& pool, std::vector<LossRow>& rows) {
            seen.push_back(pool);
            rows.clear();
            for (const Network& n : pool) rows.push_back({std::fabs(n.biases[n.size - 1] - 2.0)});
            return true;
        };
    }
};

TEST_F(BetaSearchTest, ElitesPassUnchangedAndTheBestAlwaysSurvives) {
    seed_sources(6);
    const Network start = dense(3, 8, false);
    BetaSettings settings;
    settings.elitism = 2;
    settings.species = 2;
    BetaSearch search(start, 24, settings);
    std::vector<std::vector<Network>> seen;
    const PoolScorer score = by_bias(seen);
    for (int g = 0; g < 6; ++g) {
        ASSERT_TRUE(search.run_generation(score));
        if (g == 0) continue;
        const std::vector<Network>& before = seen[seen.size() - 2];
        const std::vector<Network>& now = seen.back();
        // The best of the last generation is among the new one, unchanged.
        std::size_t best = 0;
        for (std::size_t i = 1; i < before.size(); ++i) {
            if (std::fabs(before[i].biases[7] - 2.0) < std::fabs(before[best].biases[7] - 2.0)) {
                best = i;
            }
        }
        const auto copies = std::count_if(now.begin(), now.end(), [&](const Network& n) {
            return same_network(n, before[best]);
        });
        EXPECT_GE(copies, 1) << g;
        // No more unchanged copies of old networks than elites per species allow.
        int unchanged = 0;
        for (const Network& n : now) {
            unchanged += std::any_of(before.begin(), before.end(),
                                     [&](const Network& o) { return same_network(n, o); });
        }
        EXPECT_LE(unchanged, 2 * static_cast<int>(2 * 2)) << g;  // elitism x (at most 2 x species)
        EXPECT_GE(unchanged, 2) << g;
    }
}

TEST_F(BetaSearchTest, EachSpeciesIsRepresentedByItsChampion) {
    seed_sources(8);
    const Network start = dense(3, 8, false);
    BetaSearch search(start, 30, BetaSettings{});
    std::vector<std::vector<Network>> seen;
    const PoolScorer score = by_bias(seen);
    for (int g = 0; g < 4; ++g) {
        ASSERT_TRUE(search.run_generation(score));
        if (g == 0) continue;
        // The species were formed from the generation before the last one;
        // its representatives are members of it, and its best is one of them.
        const std::vector<Network>& bred_from = seen[seen.size() - 2];
        auto loss = [](const Network& n) { return std::fabs(n.biases[n.size - 1] - 2.0); };
        const Network* best = &bred_from[0];
        for (const Network& n : bred_from) {
            if (loss(n) < loss(*best)) best = &n;
        }
        bool best_represents = false;
        for (std::size_t k = 0; k < search.species_count(); ++k) {
            const Network& r = search.representative(k);
            const auto member = std::find_if(bred_from.begin(), bred_from.end(),
                                             [&](const Network& n) { return same_network(n, r); });
            ASSERT_NE(member, bred_from.end()) << g << " " << k;
            best_represents |= same_network(r, *best);
        }
        EXPECT_TRUE(best_represents) << g;
    }
}

TEST_F(BetaSearchTest, ChildrenMoveByTheirOwnAdaptedStep) {
    seed_sources(7);
    // Every parameter moves (rate 1) and nothing grows: a child's changes
    // divided by its step are N(0, 1) apart from the few redraws.
    const Network start = dense(6, 30, false);
    BetaSettings settings;
    settings.mutation_rate = 1.0;
    settings.structure_rate = 0.0;
    settings.mutation_power = 0.01;
    settings.species = 1;
    BetaSearch search(start, 12, settings);
    std::vector<std::vector<Network>> seen;
    const PoolScorer score = by_bias(seen);
    ASSERT_TRUE(search.run_generation(score));
    ASSERT_TRUE(search.run_generation(score));
    ASSERT_TRUE(search.run_generation(score));
    const std::vector<Network>& parents = seen[1];
    const std::vector<Network>& children = seen[2];
    const std::vector<double>& steps = search.steps();
    int checked = 0;
    for (std::size_t c = 0; c < children.size(); ++c) {
        // Find the parent this child came from: the nearest one. Skip
        // unchanged elites and crossed children (far from every parent).
        double nearest = 1e300;
        std::size_t from = 0;
        for (std::size_t p = 0; p < parents.size(); ++p) {
            const double d = compatibility_distance(children[c], parents[p]);
            if (d < nearest) {
                nearest = d;
                from = p;
            }
        }
        if (nearest == 0.0 || children[c].activations != parents[from].activations) continue;
        std::vector<double> ratios;
        for (std::size_t at = 0; at < children[c].links.size(); ++at) {
            if (!children[c].links[at]) continue;
            const double r = (children[c].weights[at] - parents[from].weights[at]) / steps[c];
            if (std::fabs(r) < 6.0) ratios.push_back(r);  // redraws aside
        }
        if (ratios.size() < 200) continue;  // a crossed child
        double square = 0.0;
        for (const double r : ratios) square += r * r / ratios.size();
        EXPECT_NEAR(std::sqrt(square), 1.0, 0.12) << c;
        ++checked;
    }
    EXPECT_GE(checked, 4);
    // The steps spread from the first one as children adapt them.
    EXPECT_NE(*std::min_element(steps.begin(), steps.end()),
              *std::max_element(steps.begin(), steps.end()));
}

}  // namespace
}  // namespace tessavo
