#include "evolution/mutation.hpp"

#include <cmath>

#include "evolution/crossover.hpp"
#include "evolution/failure.hpp"
#include "evolution/random.hpp"
#include "evolution/structural.hpp"

namespace tessavo {

namespace {

double draw() { return fresh_stream().uniform(0.0, 1.0); }

const char* check(const Network& network, const char* line) {
    return is_valid(network) ? nullptr : line;
}

}  // namespace

MutationStep choose_mutation() {
    // Steps 1 and 2 compare strictly, the structural ones inclusively.
    if (draw() < 0.3) return MutationStep::perturb_parameters;
    if (draw() < 0.3) return MutationStep::mutate_activations;
    if (draw() <= 0.1) return MutationStep::add_node;
    if (draw() <= 0.1) return MutationStep::remove_node;
    if (draw() <= 0.05) return MutationStep::remove_connection;
    if (draw() <= 0.05) return MutationStep::add_connection;
    return MutationStep::none;
}

void mutate(Network& network) {
    if (const char* line = mutate_quietly(network)) report_broken_network(line);
}

const char* mutate_quietly(Network& network) {
    switch (choose_mutation()) {
        case MutationStep::perturb_parameters:
            perturb_parameters(network);
            break;
        case MutationStep::mutate_activations:
            mutate_activations(network);
            break;
        case MutationStep::add_node:
            add_node(network);
            return check(network, "Add node mutation broke network.");
        case MutationStep::remove_node:
            remove_node(network);
            return check(network, "Remove node mutation broke network.");
        case MutationStep::remove_connection:
            remove_connection(network);
            return check(network, "Remove connection mutation broke network.");
        case MutationStep::add_connection:
            add_connection(network);
            return check(network, "Add connection mutation broke network.");
        case MutationStep::none:
            break;
    }
    return nullptr;
}

void perturb_parameters(Network& network) {
    // Bias i, then the connected weights of row i, for every node in order;
    // each value's deviation depends on itself alone, so all are drawn at once.
    thread_local std::vector<double*> targets;
    thread_local std::vector<double> zeros, deviations, moves;
    targets.clear();
    for (int32_t i = 0; i < network.size; ++i) {
        targets.push_back(&network.biases[i]);
        for (int32_t j = 0; j < network.size; ++j) {
            if (has_link(network, i, j))
                targets.push_back(&network.weights[matrix_index(network, i, j)]);
        }
    }
    zeros.assign(targets.size(), 0.0);
    deviations.resize(targets.size());
    moves.resize(targets.size());
    for (std::size_t k = 0; k < targets.size(); ++k) deviations[k] = 0.2 * std::fabs(*targets[k]);
    fresh_stream().normals(zeros.data(), deviations.data(), moves.data(), targets.size());
    for (std::size_t k = 0; k < targets.size(); ++k) *targets[k] += moves[k];
}

void mutate_activations(Network& network) {
    FreshStream& draws = fresh_stream();
    for (int32_t i = network.inputs; i < network.size; ++i) {
        if (draws.uniform(0.0, 1.0) <= 0.05) network.activations[i] = random_activation();
    }
}

void mutate_population(std::vector<Network>& networks) {
    for (Network& network : networks) mutate(network);
}

}  // namespace tessavo
