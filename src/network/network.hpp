// The network record: a dense graph over a fixed node order (inputs first,
// outputs last), its parameters, its recurrent state and its own engine.
#pragma once

#include <cstdint>
#include <vector>

#include "random/engine.hpp"

namespace tessavo {

// Activation codes stored per node.
enum ActivationKind : int32_t {
    ACTIVATION_SIGMOID = 0,
    ACTIVATION_TANH = 1,
    ACTIVATION_RELU = 2,
    ACTIVATION_LINEAR = 3,
};

inline constexpr int32_t activation_count = 4;
extern const char* const activation_names[activation_count];

// Code of an activation name (exact, case-sensitive), or -1.
int32_t activation_code(const char* name);

struct Network {
    int32_t size = 0;
    int32_t inputs = 0;
    int32_t outputs = 0;
    bool recurrent = false;
    std::vector<double> biases;
    std::vector<double> sums;
    std::vector<double> values;
    std::vector<int32_t> activations;
    // Both matrices are size x size and hold the entry (from, to) at
    // to * size + from: the forward pass reads the incoming column of a node
    // as one contiguous run. Use the accessors below rather than indexing.
    std::vector<double> weights;
    std::vector<uint8_t> links;
    RandomEngine rng;

    // An empty network: no nodes, engine in its default state. Used by
    // Python objects before a network is built or installed.
    Network() = default;
    // A blank network of inputs + outputs nodes with a newly seeded engine.
    Network(int32_t inputs, int32_t outputs, bool recurrent);
};

inline std::size_t matrix_index(const Network& n, int32_t from, int32_t to) {
    return static_cast<std::size_t>(to) * static_cast<std::size_t>(n.size) +
           static_cast<std::size_t>(from);
}
inline bool has_link(const Network& n, int32_t from, int32_t to) {
    return n.links[matrix_index(n, from, to)] != 0;
}
inline double weight(const Network& n, int32_t from, int32_t to) {
    return n.weights[matrix_index(n, from, to)];
}
inline void set_weight(Network& n, int32_t from, int32_t to, double w) {
    n.weights[matrix_index(n, from, to)] = w;
}
// Sets the connection from -> to with weight w.
inline void set_link(Network& n, int32_t from, int32_t to, double w) {
    const std::size_t at = matrix_index(n, from, to);
    n.links[at] = 1;
    n.weights[at] = w;
}
// Clears the connection from -> to; its weight becomes 0.
inline void clear_link(Network& n, int32_t from, int32_t to) {
    const std::size_t at = matrix_index(n, from, to);
    n.links[at] = 0;
    n.weights[at] = 0.0;
}

// Throws std::bad_alloc (MemoryShortage) when a network of n nodes cannot
// fit in the memory this process can get. Vectors are zero-filled as they
// are made, so an oversized network would otherwise touch all its pages
// before failing, or wake the OOM killer. Queries the platform: entry points
// call it once, before building.
void check_fits_in_memory(int32_t n);

// Makes the network a blank network of n nodes; inputs, outputs, recurrent
// and the engine stay. Throws std::bad_alloc when the matrices cannot be
// allocated; it does not query the platform (see check_fits_in_memory).
void resize(Network& network, int32_t n);

// resize reusing the network's buffers: for sizes of networks that exist
// already, such as a crossover child's.
void make_blank(Network& network, int32_t n);

// Random biases and activation codes, and the dense initial topology with
// random weights, on a blank network.
void randomize_dense(Network& network);

// A copy with a newly seeded engine.
Network clone(const Network& network);
// The same into out, whose buffers are reused.
void clone_into(Network& out, const Network& network);
// out = network, engine included, in out's buffers.
void copy_into(Network& out, const Network& network);

// Every node value becomes 0.
void clear_state(Network& network);

// Number of set links.
std::size_t connection_count(const Network& network);

// Whether the network may hold the connection from -> to: never into an
// input (no pass reads it), and in a feed-forward network only towards a
// higher index (its pass reads no other, and its file stores no other).
inline bool link_allowed(const Network& n, int32_t from, int32_t to) {
    return to >= n.inputs && (n.recurrent || from < to);
}

// Clears every connection that link_allowed refuses: what switching a
// network to feed-forward does to its self and backward connections.
void drop_disallowed_links(Network& network);

double activate(int32_t code, double x);

// One forward pass; reads input[0 .. inputs-1], rewrites sums and values and
// writes the output node values to out (resized to outputs).
void forward(Network& network, const double* input, std::vector<double>& out);
std::vector<double> forward(Network& network, const std::vector<double>& input);

}  // namespace tessavo
