#include "network/network.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "network/memory.hpp"
#include "random/sources.hpp"

namespace tessavo {

const char* const activation_names[activation_count] = {"sigmoid", "tanh", "relu", "linear"};

int32_t activation_code(const char* name) {
    for (int32_t code = 0; code < activation_count; ++code) {
        if (std::strcmp(name, activation_names[code]) == 0) return code;
    }
    return -1;
}

Network::Network(int32_t inputs_, int32_t outputs_, bool recurrent_)
    : inputs(inputs_), outputs(outputs_), recurrent(recurrent_), rng(device_value()) {
    resize(*this, inputs_ + outputs_);
}

void check_fits_in_memory(int32_t n) {
    const std::string what = "A network of " + std::to_string(n) + " nodes";
    require_memory(network_record_bytes(n), what.c_str());
}

void resize(Network& network, int32_t n) {
    const std::size_t count = static_cast<std::size_t>(n);
    const std::size_t cells = count * count;
    // Build everything first so that a failed allocation changes nothing.
    std::vector<double> biases(count), sums(count), values(count);
    std::vector<int32_t> activations(count);
    std::vector<double> weights(cells);
    std::vector<uint8_t> links(cells);
    network.size = n;
    network.biases.swap(biases);
    network.sums.swap(sums);
    network.values.swap(values);
    network.activations.swap(activations);
    network.weights.swap(weights);
    network.links.swap(links);
}

namespace {

// Room for two more nodes than asked when a buffer has to grow: networks of
// neighbouring sizes then take turns in the same buffers across generations
// instead of reallocating whenever a node was added.
std::size_t grown(std::size_t nodes, bool matrix) {
    const std::size_t n = nodes + 2;
    return matrix ? n * n : n;
}

template <class T>
void reserve_for(std::vector<T>& buffer, std::size_t count, std::size_t nodes, bool matrix) {
    if (buffer.capacity() < count) {
        buffer.clear();
        buffer.reserve(grown(nodes, matrix));
    }
}

template <class T>
void fill_reusing(std::vector<T>& buffer, std::size_t count, std::size_t nodes, bool matrix) {
    reserve_for(buffer, count, nodes, matrix);
    buffer.assign(count, T{});
}

template <class T>
void copy_reusing(std::vector<T>& buffer, const std::vector<T>& from, std::size_t nodes,
                  bool matrix) {
    reserve_for(buffer, from.size(), nodes, matrix);
    buffer.assign(from.begin(), from.end());
}

}  // namespace

void make_blank(Network& network, int32_t n) {
    const std::size_t count = static_cast<std::size_t>(n);
    network.size = n;
    fill_reusing(network.biases, count, count, false);
    fill_reusing(network.sums, count, count, false);
    fill_reusing(network.values, count, count, false);
    fill_reusing(network.activations, count, count, false);
    fill_reusing(network.weights, count * count, count, true);
    fill_reusing(network.links, count * count, count, true);
}

void randomize_dense(Network& network) {
    // Both variates of each polar step are used; the kept one carries over
    // from the last bias into the first weight.
    bool have_kept = false;
    double kept = 0.0;
    auto next_normal = [&]() {
        if (have_kept) {
            have_kept = false;
            return kept;
        }
        const auto [first, second] = polar_step(network.rng);
        kept = second;
        have_kept = true;
        return first;
    };

    for (int32_t i = 0; i < network.size; ++i) {
        network.biases[i] = next_normal();
        network.activations[i] = random_activation();
    }
    for (int32_t j = 0; j < network.size - network.outputs; ++j) {
        const int32_t lo = network.recurrent ? network.inputs : std::max(network.inputs, j + 1);
        for (int32_t k = lo; k < network.size; ++k) {
            set_link(network, j, k, next_normal());
        }
    }
}

Network clone(const Network& network) {
    Network copy(network);
    copy.rng.seed(device_value());
    return copy;
}

void copy_into(Network& out, const Network& network) {
    if (&out != &network) {
        const auto nodes = static_cast<std::size_t>(network.size);
        out.size = network.size;
        out.inputs = network.inputs;
        out.outputs = network.outputs;
        out.recurrent = network.recurrent;
        copy_reusing(out.biases, network.biases, nodes, false);
        copy_reusing(out.sums, network.sums, nodes, false);
        copy_reusing(out.values, network.values, nodes, false);
        copy_reusing(out.activations, network.activations, nodes, false);
        copy_reusing(out.weights, network.weights, nodes, true);
        copy_reusing(out.links, network.links, nodes, true);
        out.rng = network.rng;
    }
}

void clone_into(Network& out, const Network& network) {
    copy_into(out, network);
    out.rng.seed(device_value());
}

void clear_state(Network& network) { std::fill(network.values.begin(), network.values.end(), 0.0); }

std::size_t connection_count(const Network& network) {
    return static_cast<std::size_t>(
        std::count(network.links.begin(), network.links.end(), uint8_t{1}));
}

void drop_disallowed_links(Network& network) {
    for (int32_t to = 0; to < network.size; ++to) {
        for (int32_t from = 0; from < network.size; ++from) {
            if (!link_allowed(network, from, to)) clear_link(network, from, to);
        }
    }
}

}  // namespace tessavo
