#include "network/plan.hpp"

#include <algorithm>
#include <cstddef>

#include "network/activation_math.hpp"
#include "network/isa.hpp"

namespace tessavo {

namespace {

template <int L>
[[gnu::always_inline]] inline void activate_lanes(int32_t code, const double* sum, double* out) {
    switch (code) {
        case ACTIVATION_SIGMOID:
            sigmoid_lanes<L>(sum, out);
            break;
        case ACTIVATION_TANH:
            tanh_lanes<L>(sum, out);
            break;
        case ACTIVATION_RELU:
            for (int l = 0; l < L; ++l) out[l] = sum[l] > 0.0 ? sum[l] : 0.0;
            break;
        case ACTIVATION_LINEAR:
            for (int l = 0; l < L; ++l) out[l] = sum[l];
            break;
        default:
            for (int l = 0; l < L; ++l) out[l] = 0.0;
            break;
    }
}

// The lanes of one node stay apart: each keeps its own chain of additions,
// so vectorising across lanes never changes a lane's order.
template <int L>
[[gnu::always_inline]] inline void pass_lanes(const Plan& plan, double* __restrict values,
                                              double* __restrict sums) {
    const int32_t nodes = plan.size - plan.inputs;
    const uint32_t* starts = plan.starts.data();
    const int32_t* sources = plan.sources.data();
    const double* weights = plan.weights.data();
    for (int32_t j = 0; j < nodes; ++j) {
        double acc[L];
        const double bias = plan.biases[j];
        for (int l = 0; l < L; ++l) acc[l] = bias;
        const uint32_t end = starts[j + 1];
        for (uint32_t e = starts[j]; e < end; ++e) {
            const double w = weights[e];
            const double* v = values + static_cast<std::size_t>(sources[e]) * L;
            for (int l = 0; l < L; ++l) acc[l] = acc[l] + w * v[l];
        }
        const std::size_t at = static_cast<std::size_t>(plan.inputs + j) * L;
        for (int l = 0; l < L; ++l) sums[at + l] = acc[l];
        activate_lanes<L>(plan.activations[j], acc, values + at);
    }
}

// Any other lane count, one lane at a time.
void pass_any(const Plan& plan, double* values, double* sums, int32_t lanes) {
    const int32_t nodes = plan.size - plan.inputs;
    const std::size_t stride = static_cast<std::size_t>(lanes);
    for (int32_t j = 0; j < nodes; ++j) {
        const std::size_t at = static_cast<std::size_t>(plan.inputs + j) * stride;
        for (int32_t l = 0; l < lanes; ++l) {
            double sum = plan.biases[j];
            for (uint32_t e = plan.starts[j]; e < plan.starts[j + 1]; ++e) {
                const double product = plan.weights[e] * values[plan.sources[e] * stride + l];
                sum = sum + product;
            }
            sums[at + l] = sum;
            activate_lanes<1>(plan.activations[j], &sum, values + at + l);
        }
    }
}

[[gnu::always_inline]] inline void pass_by_lanes(const Plan& plan, double* values, double* sums,
                                                 int32_t lanes) {
    switch (lanes) {
        case 1:
            pass_lanes<1>(plan, values, sums);
            break;
        case 8:
            pass_lanes<8>(plan, values, sums);
            break;
        case 16:
            pass_lanes<16>(plan, values, sums);
            break;
        default:
            pass_any(plan, values, sums, lanes);
            break;
    }
}

// Built for generic x86-64; the processor picks the widest vectors it has.
// Chosen once through a pointer rather than an ifunc, whose resolver runs
// before the sanitizers' runtimes are ready.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx512f"))) void pass_avx512(const Plan& plan, double* values, double* sums,
                                                    int32_t lanes) {
    pass_by_lanes(plan, values, sums, lanes);
}
__attribute__((target("avx2"))) void pass_avx2(const Plan& plan, double* values, double* sums,
                                               int32_t lanes) {
    pass_by_lanes(plan, values, sums, lanes);
}
#endif
void pass_generic(const Plan& plan, double* values, double* sums, int32_t lanes) {
    pass_by_lanes(plan, values, sums, lanes);
}

using PassFunction = void (*)(const Plan&, double*, double*, int32_t);

PassFunction widest_pass() {
#if defined(__x86_64__) || defined(__i386__)
    switch (widest_isa()) {
        case Isa::avx512:
            return pass_avx512;
        case Isa::avx2:
            return pass_avx2;
        case Isa::generic:
            break;
    }
#endif
    return pass_generic;
}

}  // namespace

Plan make_plan(const Network& network) {
    Plan plan;
    plan.size = network.size;
    plan.inputs = std::min(network.inputs, network.size);
    plan.outputs = network.outputs;
    plan.recurrent = network.recurrent;
    const int32_t nodes = plan.size - plan.inputs;
    plan.starts.reserve(static_cast<std::size_t>(nodes) + 1);
    plan.biases.reserve(static_cast<std::size_t>(nodes));
    plan.activations.reserve(static_cast<std::size_t>(nodes));
    plan.starts.push_back(0);
    const std::size_t stride = static_cast<std::size_t>(network.size);
    for (int32_t k = plan.inputs; k < plan.size; ++k) {
        const int32_t n = network.recurrent ? plan.size : k;
        const uint8_t* links = network.links.data() + stride * k;
        const double* weights = network.weights.data() + stride * k;
        for (int32_t i = 0; i < n; ++i) {
            if (links[i]) {
                plan.sources.push_back(i);
                plan.weights.push_back(weights[i]);
            }
        }
        plan.starts.push_back(static_cast<uint32_t>(plan.sources.size()));
        plan.biases.push_back(network.biases[k]);
        plan.activations.push_back(network.activations[k]);
    }
    return plan;
}

LaneState make_lane_state(const Plan& plan, const Network& network, int32_t lanes) {
    LaneState state;
    state.lanes = lanes;
    const std::size_t cells = static_cast<std::size_t>(plan.size) * lanes;
    state.values.assign(cells, 0.0);
    state.sums.assign(cells, 0.0);
    for (int32_t k = 0; k < plan.inputs; ++k) {
        std::fill_n(state.sums.begin() + static_cast<std::ptrdiff_t>(k) * lanes, lanes,
                    network.biases[k]);
    }
    return state;
}

void clear_lanes(LaneState& state) { std::fill(state.values.begin(), state.values.end(), 0.0); }

void load_lane(LaneState& state, int32_t lane, const Network& network) {
    const std::size_t size = network.values.size();
    for (std::size_t k = 0; k < size; ++k) {
        state.values[k * state.lanes + lane] = network.values[k];
    }
}

void store_lane(const LaneState& state, int32_t lane, Network& network) {
    const std::size_t size = network.values.size();
    for (std::size_t k = 0; k < size; ++k) {
        network.values[k] = state.values[k * state.lanes + lane];
        network.sums[k] = state.sums[k * state.lanes + lane];
    }
}

void run_pass(const Plan& plan, LaneState& state) {
    static const PassFunction pass = widest_pass();
    pass(plan, state.values.data(), state.sums.data(), state.lanes);
}

void predict_series(Network& network, const double* x, int64_t count, int64_t steps,
                    bool clear_each, double* out) {
    if (count == 0) return;
    if (steps == 0) {
        if (clear_each) clear_state(network);
        return;
    }
    const Plan plan = make_plan(network);
    const int32_t lanes = count == 1 ? 1 : block_lanes;
    LaneState state = make_lane_state(plan, network, lanes);
    const int32_t inputs = plan.inputs;
    const std::size_t in_width = static_cast<std::size_t>(network.inputs);
    const std::size_t outputs = static_cast<std::size_t>(network.outputs);
    const std::size_t first_output = static_cast<std::size_t>(plan.size) - outputs;
    int32_t last_lane = 0;
    for (int64_t s0 = 0; s0 < count; s0 += lanes) {
        const int32_t used = static_cast<int32_t>(std::min<int64_t>(lanes, count - s0));
        // A feed-forward pass reads no state; one series continues the
        // network's own.
        if (clear_each) {
            clear_lanes(state);
        } else if (network.recurrent) {
            for (int32_t l = 0; l < used; ++l) load_lane(state, l, network);
        }
        for (int64_t t = 0; t < steps; ++t) {
            for (int32_t l = 0; l < used; ++l) {
                const double* in = x + ((s0 + l) * steps + t) * in_width;
                for (int32_t k = 0; k < inputs; ++k) state.values[k * lanes + l] = in[k];
            }
            run_pass(plan, state);
            for (int32_t l = 0; l < used; ++l) {
                double* o = out + ((s0 + l) * steps + t) * outputs;
                for (std::size_t j = 0; j < outputs; ++j) {
                    o[j] = state.values[(first_output + j) * lanes + l];
                }
            }
        }
        last_lane = used - 1;
    }
    store_lane(state, last_lane, network);
}

}  // namespace tessavo
