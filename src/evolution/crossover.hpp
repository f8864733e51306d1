// The validity check and recombination.
#pragma once

#include <vector>

#include "network/network.hpp"

namespace tessavo {

// Every non-output node sends to some non-input node and every non-input node
// receives from some node; self-connections count for neither.
bool is_valid(const Network& network);

// One child of a and b, genes aligned by index. The parent with the lower
// score (a on a tie) is dominant: it gives the child its size and the
// connections that only one parent has.
Network crossover(const Network& a, const Network& b, double score_a, double score_b);
// The same into child, whose buffers are reused; child must not be a or b.
void crossover_into(Network& child, const Network& a, const Network& b, double score_a,
                    double score_b);

// Pairs the parents at random, each taking part in two pairings, and turns
// every pair into two crossover children or clones of both parents: 2 * n
// networks, two per pair in pair order. scores holds one score per parent.
// Throws BrokenNetwork when a child is invalid.
std::vector<Network> crossover_population(const std::vector<Network>& parents,
                                          const std::vector<double>& scores);
// The same into children, whose networks' buffers are reused; it must not
// hold the parents.
void crossover_population(const std::vector<Network>& parents, const std::vector<double>& scores,
                          std::vector<Network>& children);

}  // namespace tessavo
