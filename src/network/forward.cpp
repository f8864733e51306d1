#include "network/activation_math.hpp"
#include "network/network.hpp"

namespace tessavo {

double activate(int32_t code, double x) {
    switch (code) {
        case ACTIVATION_SIGMOID:
            return sigmoid_ieee(x);
        case ACTIVATION_TANH:
            return tanh_ieee(x);
        case ACTIVATION_RELU:
            return x > 0.0 ? x : 0.0;
        case ACTIVATION_LINEAR:
            return x;
        default:
            return 0.0;
    }
}

void forward(Network& network, const double* input, std::vector<double>& out) {
    const int32_t size = network.size;
    const std::size_t stride = static_cast<std::size_t>(size);
    double* values = network.values.data();
    double* sums = network.sums.data();
    for (int32_t i = 0; i < size; ++i) sums[i] = network.biases[i];
    for (int32_t k = 0; k < size; ++k) {
        if (k < network.inputs) {
            values[k] = input[k];
            continue;
        }
        const int32_t n = network.recurrent ? size : k;
        // Column k: the incoming links and weights of node k, contiguous.
        const uint8_t* links = network.links.data() + stride * k;
        const double* weights = network.weights.data() + stride * k;
        double sum = sums[k];
        for (int32_t i = 0; i < n; ++i) {
            if (links[i]) {
                const double product = weights[i] * values[i];
                sum = sum + product;
            }
        }
        sums[k] = sum;
        values[k] = activate(network.activations[k], sum);
    }
    out.resize(static_cast<std::size_t>(network.outputs));
    const int32_t first = size - network.outputs;
    for (int32_t j = 0; j < network.outputs; ++j) out[j] = values[first + j];
}

std::vector<double> forward(Network& network, const std::vector<double>& input) {
    std::vector<double> out;
    forward(network, input.data(), out);
    return out;
}

}  // namespace tessavo
