#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "evolution/structural.hpp"
#include "evolution_support.hpp"

namespace tessavo::testing {
namespace {

using Structural = EvolutionTest;

// The next rand() values, leaving the generator where it was.
std::vector<int> upcoming_rand(unsigned seed, int count) {
    c_srand(seed);
    std::vector<int> values;
    for (int k = 0; k < count; ++k) values.push_back(c_rand());
    c_srand(seed);
    return values;
}

struct Enumeration {
    const char* name;
    Network network;
    void (*operation)(Network&);
    Links candidates;  // in enumeration order
    bool adds;         // the chosen connection is set, else cleared
};

// Two inputs, hidden 2, output 3: 0->2, 1->3, 2->3.
Network small(bool recurrent) { return make_network(2, 1, 4, recurrent, {{0, 2}, {1, 3}, {2, 3}}); }

// Two inputs, hidden 2 and 3, output 4, densely connected forward.
Network dense_forward() {
    return make_network(2, 1, 5, false,
                        {{0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}});
}

// One input, hidden 1 and 2, output 3, with self-connections: 1->1 has two
// other ways out and in, 2->2 has one other way in only.
Network loops() {
    return make_network(1, 1, 4, true, {{0, 1}, {1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}});
}

std::vector<Enumeration> enumerations() {
    return {
        {"add_connection_forward", small(false), add_connection, {{0, 3}, {1, 2}}, true},
        {"add_connection_recurrent", small(true), add_connection, {{0, 3}, {1, 2}, {2, 2}}, true},
        {"add_connection_recurrent_loops", loops(), add_connection, {{0, 2}, {0, 3}}, true},
        {"remove_connection_dense",
         dense_forward(),
         remove_connection,
         {{0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}},
         false},
        {"remove_connection_loops",
         loops(),
         remove_connection,
         {{1, 1}, {1, 3}, {2, 1}, {2, 3}},
         false},
    };
}

// Candidate number rand() % n is taken, for several rand() values.
TEST_F(Structural, CandidatesAreEnumeratedAndChosenInOrder) {
    for (const Enumeration& c : enumerations()) {
        SCOPED_TRACE(c.name);
        const int n = static_cast<int>(c.candidates.size());
        for (unsigned seed = 1; seed <= 12; ++seed) {
            Network network = c.network;
            const std::vector<int> next = upcoming_rand(seed, 2);
            const auto [from, to] = c.candidates[next[0] % n];
            Network expected = c.network;
            if (c.adds) {
                set_link(expected, from, to, polar_step(expected.rng).first);
            } else {
                clear_link(expected, from, to);
            }
            c.operation(network);
            expect_same_network(network, expected);
            EXPECT_EQ(c_rand(), next[1]);  // one choice drawn
        }
    }
}

// With no candidate nothing is drawn from any source.
TEST_F(Structural, NothingToDoDrawsNothing) {
    const Network two_to_one = make_network(2, 1, 3, false, {{0, 2}, {1, 2}});
    const Network bare = make_network(2, 1, 3, false, {});
    const struct {
        Network network;
        void (*operation)(Network&);
    } cases[] = {{two_to_one, add_connection},
                 {two_to_one, remove_connection},
                 {two_to_one, remove_node},
                 {bare, add_node},
                 {bare, remove_connection}};
    for (const auto& c : cases) {
        Network network = c.network;
        const int reads = device_reads;
        c_srand(5);
        const int next = c_rand();
        c_srand(5);
        c.operation(network);
        expect_same_network(network, c.network);
        EXPECT_EQ(c_rand(), next);
        EXPECT_EQ(device_reads, reads);
    }
}

// The example of a 2-input, 1-output network with 0->2 and 1->2.
TEST_F(Structural, AddNodeSplitsTheChosenConnection) {
    const Network original = make_network(2, 1, 3, false, {{0, 2}, {1, 2}});
    Network network = original;
    arrange_rand({{2, 0}, {4, 3}});  // split 0->2; activation code 3
    const int reads = device_reads;
    queue({31u});
    const std::vector<double> weights = upcoming_normals(network, 2);
    add_node(network);

    EXPECT_EQ(network.size, 4);
    EXPECT_EQ(links_of(network), (Links{{0, 2}, {1, 3}, {2, 3}}));
    EXPECT_EQ(weight(network, 0, 2), weights[0]);
    EXPECT_EQ(weight(network, 2, 3), weights[1]);
    EXPECT_EQ(weight(network, 1, 3), weight(original, 1, 2));
    EXPECT_EQ(weight(network, 0, 3), 0.0);
    EXPECT_EQ(network.biases, (std::vector<double>{0.5, 1.5, reference_normal(31u), 2.5}));
    EXPECT_EQ(network.activations, (std::vector<int32_t>{0, 1, 3, 2}));
    EXPECT_EQ(network.values, (std::vector<double>{-0.25, -1.25, 0.0, -2.25}));
    EXPECT_EQ(device_reads, reads + 1);
}

TEST_F(Structural, AddNodeCandidatesInBothModes) {
    // From the output 3 -> 2 is never split; 2 -> 1 and 1 -> 1 only when recurrent.
    const Links links = {{0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 1}, {2, 3}, {3, 2}};
    for (const bool recurrent : {false, true}) {
        const Network original = make_network(1, 1, 4, recurrent, links);
        const Links candidates = recurrent ? Links{{0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 1}, {2, 3}}
                                           : Links{{0, 1}, {0, 2}, {1, 2}, {2, 3}};
        const int n = static_cast<int>(candidates.size());
        for (int k = 0; k < n; ++k) {
            Network network = original;
            arrange_rand({{n, k}});
            add_node(network);
            const auto [from, to] = candidates[k];
            const int32_t g = std::max(from + 1, original.inputs);
            EXPECT_TRUE(has_link(network, from, g)) << recurrent << " " << k;
            EXPECT_TRUE(has_link(network, g, from >= to ? to : to + 1)) << recurrent << " " << k;
        }
    }
}

// A malformed network (say, from a file) may link two inputs. The split still
// ends at the original target, which keeps its index below the new node,
// instead of turning into a self-connection of the new node.
TEST_F(Structural, InsertNodeKeepsATargetBelowTheNewNode) {
    Network network = make_network(2, 1, 3, false, {{0, 1}, {0, 2}, {1, 2}});
    insert_node(network, 0, 1, 0.0, 0);
    EXPECT_EQ(links_of(network), (Links{{0, 2}, {0, 3}, {1, 3}, {2, 1}}));
}

// Node k of the old network is node shifted(k) of the new one.
void expect_moved(const Network& before, const Network& after, int32_t (*shifted)(int32_t, int32_t),
                  int32_t at, int32_t skip_from = -1, int32_t skip_to = -1) {
    for (int32_t k = 0; k < before.size; ++k) {
        if (shifted(k, at) < 0) continue;
        const int32_t s = shifted(k, at);
        ASSERT_EQ(after.biases[s], before.biases[k]);
        ASSERT_EQ(after.values[s], before.values[k]);
        ASSERT_EQ(after.sums[s], before.sums[k]);
        ASSERT_EQ(after.activations[s], before.activations[k]);
    }
    for (int32_t a = 0; a < before.size; ++a) {
        for (int32_t b = 0; b < before.size; ++b) {
            if ((a == skip_from && b == skip_to) || shifted(a, at) < 0 || shifted(b, at) < 0)
                continue;
            ASSERT_EQ(has_link(after, shifted(a, at), shifted(b, at)), has_link(before, a, b));
            ASSERT_EQ(weight(after, shifted(a, at), shifted(b, at)), weight(before, a, b));
        }
    }
}

Network random_dense(bool recurrent, std::mt19937& pick) {
    const int32_t inputs = 1 + static_cast<int32_t>(pick() % 3);
    const int32_t outputs = 1 + static_cast<int32_t>(pick() % 3);
    Network network(inputs, outputs, recurrent);
    resize(network, inputs + outputs + 1 + static_cast<int32_t>(pick() % 5));
    randomize_dense(network);
    for (int32_t i = 0; i < network.size; ++i) {
        network.values[i] = 0.1 * static_cast<double>(pick() % 100);
        network.sums[i] = -0.1 * static_cast<double>(pick() % 100);
    }
    // Thin it out so that absent links move too.
    for (const auto& [from, to] : links_of(network))
        if (pick() % 3 == 0) clear_link(network, from, to);
    return network;
}

// Every surviving entry of the per-node vectors and of both matrices moves
// with its node, for every connection that can be split: from inputs,
// forward, backward and self-connections.
TEST_F(Structural, InsertNodeMovesEverythingElse) {
    std::mt19937 pick(7);
    for (int round = 0; round < 20; ++round) {
        const Network before = random_dense(round % 2 == 1, pick);
        for (const auto& [from, to] : links_of(before)) {
            Network after = before;
            insert_node(after, from, to, 0.0, 0);
            const int32_t g = std::max(from + 1, before.inputs);
            ASSERT_EQ(after.size, before.size + 1);
            expect_moved(
                before, after, [](int32_t k, int32_t at) { return k >= at ? k + 1 : k; }, g, from,
                to);
            // The new node has the two new connections only; a backward or
            // self-connection keeps its target's index.
            const int32_t target = from >= to ? to : to + 1;
            const std::vector<double> weights = upcoming_normals(before, 2);
            int32_t new_links = 0;
            for (int32_t k = 0; k < after.size; ++k)
                new_links += has_link(after, k, g) + has_link(after, g, k);
            ASSERT_EQ(new_links, 2);
            ASSERT_EQ(weight(after, from, g), weights[0]);
            ASSERT_EQ(weight(after, g, target), weights[1]);
            ASSERT_TRUE(has_link(after, g, target));
            ASSERT_FALSE(has_link(after, from, target));
            ASSERT_TRUE(keeps_invariants(after));
        }
    }
}

// Removing every hidden node in turn: the rest moves down, every former
// predecessor feeds every former successor with a new weight drawn in
// predecessor-major order, even where a connection existed.
TEST_F(Structural, RemoveNodeBypassesWithNewWeights) {
    std::mt19937 pick(11);
    int existing = 0;  // bypass connections that were there already
    for (int round = 0; round < 20; ++round) {
        const Network before = random_dense(round % 2 == 1, pick);
        const int32_t hidden = before.size - before.inputs - before.outputs;
        for (int32_t v = before.inputs; v < before.size - before.outputs; ++v) {
            Network after = before;
            arrange_rand({{hidden, v - before.inputs}});
            remove_node(after);
            ASSERT_EQ(after.size, before.size - 1);
            const auto down = [](int32_t k, int32_t at) {
                return k == at ? -1 : k > at ? k - 1 : k;
            };

            std::vector<int32_t> predecessors, successors;
            for (int32_t i = 0; i < before.size; ++i)
                if (i != v && has_link(before, i, v)) predecessors.push_back(down(i, v));
            for (int32_t i = before.inputs; i < before.size; ++i)
                if (i != v && has_link(before, v, i)) successors.push_back(down(i, v));
            RandomEngine engine = before.rng;
            Network bypassed = after;
            for (const int32_t p : predecessors)
                for (const int32_t q : successors) {
                    existing += has_link(before, p + (p >= v), q + (q >= v));
                    ASSERT_TRUE(has_link(after, p, q));
                    ASSERT_EQ(weight(after, p, q), polar_step(engine).first);
                    clear_link(bypassed, p, q);
                }
            ASSERT_TRUE(after.rng == engine);
            // Apart from the bypass, the old network minus v.
            Network unbypassed = before;
            for (const int32_t p : predecessors)
                for (const int32_t q : successors)
                    clear_link(unbypassed, p + (p >= v), q + (q >= v));
            expect_moved(unbypassed, bypassed, down, v);
            ASSERT_TRUE(keeps_invariants(after));
        }
    }
    EXPECT_GT(existing, 0);
}

}  // namespace
}  // namespace tessavo::testing
