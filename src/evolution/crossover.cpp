#include "evolution/crossover.hpp"

#include <stdexcept>

#include "evolution/failure.hpp"
#include "evolution/random.hpp"
#include "progress/console.hpp"

namespace tessavo {

namespace {

bool sends_elsewhere(const Network& network, int32_t i) {
    for (int32_t j = network.inputs; j < network.size; ++j) {
        if (j != i && has_link(network, i, j)) return true;
    }
    return false;
}

bool receives_from_elsewhere(const Network& network, int32_t i) {
    for (int32_t j = 0; j < network.size; ++j) {
        if (j != i && has_link(network, j, i)) return true;
    }
    return false;
}

// Whether the parent has the connection; indices past its size mean no.
bool has_gene(const Network& parent, int32_t from, int32_t to) {
    return from < parent.size && to < parent.size && has_link(parent, from, to);
}

// Lower bound of the targets a child inherits from source i.
int32_t first_inherited_target(const Network& child, int32_t i) {
    return child.recurrent ? child.inputs : i + 1;
}

}  // namespace

bool is_valid(const Network& network) {
    for (int32_t i = 0; i < network.size; ++i) {
        if (i < network.size - network.outputs && !sends_elsewhere(network, i)) return false;
        if (i >= network.inputs && !receives_from_elsewhere(network, i)) return false;
    }
    return true;
}

void crossover_into(Network& child, const Network& a, const Network& b, double score_a,
                    double score_b) {
    const Network& dominant = score_a <= score_b ? a : b;
    const int32_t s = dominant.size;
    // A new network: its engine is seeded before any draw of the crossover.
    child.inputs = a.inputs;
    child.outputs = a.outputs;
    child.recurrent = a.recurrent;
    child.rng.seed(device_value());
    make_blank(child, s);

    FreshStream& draws = fresh_stream();
    for (int32_t i = 0; i < s; ++i) {
        const Network& drawn = draws.uniform(0.0, 1.0) <= 0.5 ? a : b;
        const Network& parent = i < drawn.size ? drawn : dominant;
        child.activations[i] = parent.activations[i];
        child.biases[i] = parent.biases[i];
    }

    for (int32_t i = 0; i < s - child.outputs; ++i) {
        for (int32_t k = first_inherited_target(child, i); k < s; ++k) {
            if (has_gene(a, i, k) && has_gene(b, i, k)) {
                const Network& drawn = draws.uniform(0.0, 1.0) <= 0.5 ? a : b;
                set_link(child, i, k, weight(drawn, i, k));
            } else if (has_gene(dominant, i, k)) {
                set_link(child, i, k, weight(dominant, i, k));
            }
        }
    }
}

Network crossover(const Network& a, const Network& b, double score_a, double score_b) {
    Network child;
    crossover_into(child, a, b, score_a, score_b);
    return child;
}

std::vector<Network> crossover_population(const std::vector<Network>& parents,
                                          const std::vector<double>& scores) {
    std::vector<Network> children;
    crossover_population(parents, scores, children);
    return children;
}

void crossover_population(const std::vector<Network>& parents, const std::vector<double>& scores,
                          std::vector<Network>& children) {
    if (scores.size() != parents.size()) {
        throw std::invalid_argument("crossover_population needs one score per parent");
    }
    const int32_t n = static_cast<int32_t>(parents.size());
    std::vector<int32_t> order(2 * static_cast<std::size_t>(n));
    for (std::size_t j = 0; j < order.size(); ++j) order[j] = static_cast<int32_t>(j % n);
    shuffle_indices(order);

    // Children are built in place, in whatever buffers the networks already
    // held there. Parents and children are checked while they are still in
    // the cache; nothing else is printed meanwhile, so the lines come out as
    // if every parent had been checked first and every child last.
    std::vector<uint8_t> parent_checked(parents.size(), 0);
    bool parents_reported = false;
    auto check_parent = [&](int32_t i) {
        if (parents_reported || parent_checked[i]) return;
        parent_checked[i] = 1;
        if (!is_valid(parents[i])) {
            console_write("One of networks already broken.\n");
            parents_reported = true;
        }
    };
    bool child_broken = false;
    children.resize(order.size());
    for (int32_t p = 0; p < n; ++p) {
        const int32_t ia = order[2 * p];
        const int32_t ib = order[2 * p + 1];
        check_parent(ia);
        check_parent(ib);
        const Network& a = parents[ia];
        const Network& b = parents[ib];
        Network& first = children[2 * static_cast<std::size_t>(p)];
        Network& second = children[2 * static_cast<std::size_t>(p) + 1];
        if (fresh_uniform(0.0, 1.0) >= 0.5) {
            crossover_into(first, a, b, scores[ia], scores[ib]);
            crossover_into(second, a, b, scores[ia], scores[ib]);
            child_broken = child_broken || !is_valid(first) || !is_valid(second);
        } else {
            clone_into(first, a);
            clone_into(second, b);
            // Clones of sound parents are sound.
            child_broken =
                child_broken || (parents_reported && (!is_valid(first) || !is_valid(second)));
        }
    }
    if (child_broken) report_broken_network("Crossover broke network");
}

}  // namespace tessavo
