// Mutation: at most one kind of change per call, chosen by a fixed cascade of
// probability tests.
#pragma once

#include <vector>

#include "network/network.hpp"

namespace tessavo {

enum class MutationStep {
    perturb_parameters,
    mutate_activations,
    add_node,
    remove_node,
    remove_connection,
    add_connection,
    none,
};

// Runs the dispatcher's probability tests, one fresh draw each, and returns
// the step that the first passing test selects.
MutationStep choose_mutation();

// Applies the chosen step. A structural step is followed by is_valid; when it
// fails, the step's line is written and BrokenNetwork thrown, and the network
// stays as the step left it.
void mutate(Network& network);
// The same without writing or throwing: returns the failure line, or null.
// For work on threads that must not touch the console.
const char* mutate_quietly(Network& network);

// Moves every bias and every connected weight by N(0, (0.2 |value|)^2).
void perturb_parameters(Network& network);

// Redraws the activation code of each non-input node with probability 0.05.
void mutate_activations(Network& network);

// mutate on each network in index order; a failure stops the loop.
void mutate_population(std::vector<Network>& networks);

}  // namespace tessavo
