#include "evolution/structural.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "evolution/random.hpp"

namespace tessavo {

namespace {

using Connection = std::pair<int32_t, int32_t>;

// Number of set links from node i to nodes other than itself.
int32_t outgoing_without_self(const Network& network, int32_t i) {
    int32_t count = 0;
    for (int32_t k = 0; k < network.size; ++k) count += k != i && has_link(network, i, k);
    return count;
}

// Number of set links into node j from nodes other than itself.
int32_t incoming_without_self(const Network& network, int32_t j) {
    int32_t count = 0;
    for (int32_t k = 0; k < network.size; ++k) count += k != j && has_link(network, k, j);
    return count;
}

// Rebuilds both matrices for a new node order of new_size nodes: new node k
// was old node old_index(k), or is new (old_index(k) < 0) and unconnected.
template <class OldIndex>
void remap_matrices(Network& network, int32_t new_size, OldIndex old_index) {
    const std::size_t n = static_cast<std::size_t>(new_size);
    // Swapped with the network's: the buffers circulate, so a thread that
    // has warmed up allocates nothing here.
    thread_local std::vector<double> weights;
    thread_local std::vector<uint8_t> links;
    weights.assign(n * n, 0.0);
    links.assign(n * n, 0);
    for (int32_t to = 0; to < new_size; ++to) {
        const int32_t old_to = old_index(to);
        if (old_to < 0) continue;
        for (int32_t from = 0; from < new_size; ++from) {
            const int32_t old_from = old_index(from);
            if (old_from < 0 || !has_link(network, old_from, old_to)) continue;
            // Same layout as matrix_index: the column of a target is contiguous.
            const std::size_t at =
                static_cast<std::size_t>(to) * n + static_cast<std::size_t>(from);
            links[at] = 1;
            weights[at] = weight(network, old_from, old_to);
        }
    }
    network.weights.swap(weights);
    network.links.swap(links);
    network.size = new_size;
}

// Reused by every operator on this thread.
thread_local std::vector<Connection> candidates;

}  // namespace

void add_connection(Network& network) {
    candidates.clear();
    for (int32_t i = 0; i < network.size - network.outputs; ++i) {
        const int32_t lo = network.recurrent ? network.inputs : std::max(network.inputs, i + 1);
        for (int32_t j = lo; j < network.size; ++j) {
            if (!has_link(network, i, j)) candidates.emplace_back(i, j);
        }
    }
    if (candidates.empty()) return;
    const int32_t n = static_cast<int32_t>(candidates.size());
    const auto [from, to] = candidates[random_int(0, n - 1)];
    set_link(network, from, to, network_normal(network));
}

void remove_connection(Network& network) {
    thread_local std::vector<int32_t> out_degree, in_degree;
    out_degree.resize(static_cast<std::size_t>(network.size));
    in_degree.resize(static_cast<std::size_t>(network.size));
    for (int32_t i = 0; i < network.size; ++i) {
        out_degree[i] = outgoing_without_self(network, i);
        in_degree[i] = incoming_without_self(network, i);
    }
    candidates.clear();
    for (int32_t i = 0; i < network.size; ++i) {
        for (int32_t j = 0; j < network.size; ++j) {
            if (has_link(network, i, j) && out_degree[i] >= 2 && in_degree[j] >= 2) {
                candidates.emplace_back(i, j);
            }
        }
    }
    if (candidates.empty()) return;
    const int32_t n = static_cast<int32_t>(candidates.size());
    const auto [from, to] = candidates[random_int(0, n - 1)];
    clear_link(network, from, to);
}

void add_node(Network& network) {
    candidates.clear();
    for (int32_t i = 0; i < network.size - network.outputs; ++i) {
        const int32_t lo = network.recurrent ? network.inputs : i + 1;
        for (int32_t j = lo; j < network.size; ++j) {
            if (has_link(network, i, j)) candidates.emplace_back(i, j);
        }
    }
    if (candidates.empty()) return;
    const int32_t n = static_cast<int32_t>(candidates.size());
    const auto [from, to] = candidates[random_int(0, n - 1)];
    const int32_t activation = random_activation();
    const double bias = fresh_normal(0.0, 1.0);
    insert_node(network, from, to, bias, activation);
}

void insert_node(Network& network, int32_t from, int32_t to, double bias, int32_t activation) {
    clear_link(network, from, to);

    const int32_t g = std::max(from + 1, network.inputs);
    const auto shifted = [g](int32_t node) { return node >= g ? node + 1 : node; };

    network.biases.insert(network.biases.begin() + g, bias);
    network.sums.insert(network.sums.begin() + g, 0.0);
    network.values.insert(network.values.begin() + g, 0.0);
    network.activations.insert(network.activations.begin() + g, activation);
    // The new node g has no old index and starts unconnected.
    remap_matrices(network, network.size + 1, [g](int32_t k) {
        return k < g ? k : k == g ? -1 : k - 1;
    });

    // `to` as it is numbered now: a forward connection's target moved up
    // with every node from g on; a backward or self-connection's stayed below.
    set_link(network, from, g, network_normal(network));
    set_link(network, g, shifted(to), network_normal(network));
}

void remove_node(Network& network) {
    if (network.size <= network.inputs + network.outputs) return;  // no hidden node

    const int32_t v = random_int(network.inputs, network.size - network.outputs - 1);
    // Indices as they will be once v is gone.
    const auto after_removal = [v](int32_t node) { return node > v ? node - 1 : node; };
    thread_local std::vector<int32_t> predecessors, successors;
    predecessors.clear();
    successors.clear();
    for (int32_t i = 0; i < network.size; ++i) {
        if (i != v && has_link(network, i, v)) predecessors.push_back(after_removal(i));
    }
    for (int32_t i = network.inputs; i < network.size; ++i) {
        if (i != v && has_link(network, v, i)) successors.push_back(after_removal(i));
    }

    network.biases.erase(network.biases.begin() + v);
    network.sums.erase(network.sums.begin() + v);
    network.values.erase(network.values.begin() + v);
    network.activations.erase(network.activations.begin() + v);
    remap_matrices(network, network.size - 1, [v](int32_t k) { return k < v ? k : k + 1; });

    for (const int32_t p : predecessors) {
        for (const int32_t q : successors) set_link(network, p, q, network_normal(network));
    }
}

}  // namespace tessavo
