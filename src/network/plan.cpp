#include "network/plan.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "network/activation_math.hpp"
#include "network/isa.hpp"

namespace tessavo {

namespace {

template <int L, bool Fma = false>
[[gnu::always_inline]] inline void activate_lanes(int32_t code, const double* sum, double* out) {
    switch (code) {
        case ACTIVATION_SIGMOID:
            sigmoid_lanes<L>(sum, out);
            break;
        case ACTIVATION_TANH:
            tanh_lanes<L, Fma>(sum, out);
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
template <int L, bool Fma>
[[gnu::always_inline]] inline void pass_lanes(const Plan& plan, const double* __restrict inputs,
                                              double* __restrict values,
                                              double* __restrict sums) {
    const int32_t nodes = plan.size - plan.inputs;
    const uint32_t* starts = plan.starts.data();
    const uint32_t* input_ends = plan.input_ends.data();
    const int32_t* sources = plan.sources.data();
    const double* weights = plan.weights.data();
    for (int32_t j = 0; j < nodes; ++j) {
        double acc[L];
        const double bias = plan.biases[j];
        for (int l = 0; l < L; ++l) acc[l] = bias;
        const uint32_t from_inputs = input_ends[j];
        for (uint32_t e = starts[j]; e < from_inputs; ++e) {
            const double w = weights[e];
            const double* v = inputs + static_cast<std::size_t>(sources[e]) * L;
            for (int l = 0; l < L; ++l) acc[l] = acc[l] + w * v[l];
        }
        const uint32_t end = starts[j + 1];
        for (uint32_t e = from_inputs; e < end; ++e) {
            const double w = weights[e];
            const double* v = values + static_cast<std::size_t>(sources[e]) * L;
            for (int l = 0; l < L; ++l) acc[l] = acc[l] + w * v[l];
        }
        const std::size_t at = static_cast<std::size_t>(plan.inputs + j) * L;
        for (int l = 0; l < L; ++l) sums[at + l] = acc[l];
        activate_lanes<L, Fma>(plan.activations[j], acc, values + at);
    }
}

// Any other lane count, one lane at a time.
void pass_any(const Plan& plan, const double* inputs, double* values, double* sums,
              int32_t lanes) {
    const int32_t nodes = plan.size - plan.inputs;
    const std::size_t stride = static_cast<std::size_t>(lanes);
    for (int32_t j = 0; j < nodes; ++j) {
        const std::size_t at = static_cast<std::size_t>(plan.inputs + j) * stride;
        for (int32_t l = 0; l < lanes; ++l) {
            double sum = plan.biases[j];
            for (uint32_t e = plan.starts[j]; e < plan.starts[j + 1]; ++e) {
                const double* from = e < plan.input_ends[j] ? inputs : values;
                const double product = plan.weights[e] * from[plan.sources[e] * stride + l];
                sum = sum + product;
            }
            sums[at + l] = sum;
            activate_lanes<1>(plan.activations[j], &sum, values + at + l);
        }
    }
}

template <bool Fma = false>
[[gnu::always_inline]] inline void pass_by_lanes(const Plan& plan, const double* inputs,
                                                 double* values, double* sums, int32_t lanes) {
    switch (lanes) {
        case 1:
            pass_lanes<1, Fma>(plan, inputs, values, sums);
            break;
        case 8:
            pass_lanes<8, Fma>(plan, inputs, values, sums);
            break;
        case 16:
            pass_lanes<16, Fma>(plan, inputs, values, sums);
            break;
        default:
            pass_any(plan, inputs, values, sums, lanes);
            break;
    }
}

// Built for generic x86-64; the processor picks the widest vectors it has.
// Chosen once through a pointer rather than an ifunc, whose resolver runs
// before the sanitizers' runtimes are ready. Fused multiply-adds only serve
// tanh's exact products, never a sum of the pass.
#if defined(__x86_64__) || defined(__i386__)
#define TESSAVO_PASS(name, fma)                                                       \
    void name(const Plan& plan, const double* inputs, double* values, double* sums, \
              int32_t lanes) {                                                      \
        pass_by_lanes<fma>(plan, inputs, values, sums, lanes);                      \
    }
__attribute__((target("avx512f,fma"))) TESSAVO_PASS(pass_avx512_fma, true)
__attribute__((target("avx2,fma"))) TESSAVO_PASS(pass_avx2_fma, true)
__attribute__((target("avx512f"))) TESSAVO_PASS(pass_avx512, false)
__attribute__((target("avx2"))) TESSAVO_PASS(pass_avx2, false)
#endif
void pass_generic(const Plan& plan, const double* inputs, double* values, double* sums,
                  int32_t lanes) {
    pass_by_lanes<false>(plan, inputs, values, sums, lanes);
}

using PassFunction = void (*)(const Plan&, const double*, double*, double*, int32_t);

PassFunction widest_pass() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma");
    switch (widest_isa()) {
        case Isa::avx512:
            return fma ? pass_avx512_fma : pass_avx512;
        case Isa::avx2:
            return fma ? pass_avx2_fma : pass_avx2;
        case Isa::generic:
            break;
    }
#endif
    return pass_generic;
}

}  // namespace

Plan make_plan(const Network& network) {
    Plan plan;
    make_plan_into(plan, network);
    return plan;
}

void make_plan_into(Plan& plan, const Network& network) {
    plan.starts.clear();
    plan.input_ends.clear();
    plan.sources.clear();
    plan.weights.clear();
    plan.biases.clear();
    plan.activations.clear();
    plan.size = network.size;
    plan.inputs = std::min(network.inputs, network.size);
    plan.outputs = network.outputs;
    plan.recurrent = network.recurrent;
    const int32_t nodes = plan.size - plan.inputs;
    plan.starts.reserve(static_cast<std::size_t>(nodes) + 1);
    plan.input_ends.reserve(static_cast<std::size_t>(nodes));
    plan.biases.reserve(static_cast<std::size_t>(nodes));
    plan.activations.reserve(static_cast<std::size_t>(nodes));
    plan.starts.push_back(0);
    const std::size_t stride = static_cast<std::size_t>(network.size);
    for (int32_t k = plan.inputs; k < plan.size; ++k) {
        const int32_t n = network.recurrent ? plan.size : k;
        const uint8_t* links = network.links.data() + stride * k;
        const double* weights = network.weights.data() + stride * k;
        for (int32_t i = 0; i < n; ++i) {
            if (i == plan.inputs) {
                plan.input_ends.push_back(static_cast<uint32_t>(plan.sources.size()));
            }
            if (links[i]) {
                plan.sources.push_back(i);
                plan.weights.push_back(weights[i]);
            }
        }
        if (n <= plan.inputs) {
            plan.input_ends.push_back(static_cast<uint32_t>(plan.sources.size()));
        }
        plan.starts.push_back(static_cast<uint32_t>(plan.sources.size()));
        plan.biases.push_back(network.biases[k]);
        plan.activations.push_back(network.activations[k]);
    }
}

LaneState make_lane_state(const Plan& plan, const Network& network, int32_t lanes) {
    LaneState state;
    reset_lane_state(state, plan, network, lanes);
    return state;
}

void reset_lane_state(LaneState& state, const Plan& plan, const Network& network, int32_t lanes) {
    state.lanes = lanes;
    const std::size_t cells = static_cast<std::size_t>(plan.size) * lanes;
    state.values.assign(cells, 0.0);
    state.sums.assign(cells, 0.0);
    for (int32_t k = 0; k < plan.inputs; ++k) {
        std::fill_n(state.sums.begin() + static_cast<std::ptrdiff_t>(k) * lanes, lanes,
                    network.biases[k]);
    }
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

namespace {

PassFunction chosen_pass() {
    static const PassFunction pass = widest_pass();
    return pass;
}

}  // namespace

void run_pass(const Plan& plan, LaneState& state) {
    chosen_pass()(plan, state.values.data(), state.values.data(), state.sums.data(), state.lanes);
}

void run_pass(const Plan& plan, LaneState& state, const double* inputs) {
    chosen_pass()(plan, inputs, state.values.data(), state.sums.data(), state.lanes);
}

namespace {

// A plan with the genes it was built from. A control loop predicts one row
// at a time with the same network: comparing its genes with these costs far
// less than building the plan again, and catches every change, however the
// network was edited or replaced.
struct CachedPlan {
    const Network* owner = nullptr;
    uint64_t last_use = 0;
    int32_t size = 0;
    int32_t inputs = 0;
    int32_t outputs = 0;
    bool recurrent = false;
    std::vector<double> weights;
    std::vector<double> biases;
    std::vector<uint8_t> links;
    std::vector<int32_t> activations;
    Plan plan;
};

template <class T>
bool same_values(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

bool built_from(const CachedPlan& entry, const Network& network) {
    return entry.owner == &network && entry.size == network.size &&
           entry.inputs == network.inputs && entry.outputs == network.outputs &&
           entry.recurrent == network.recurrent &&
           same_values(entry.activations, network.activations) &&
           same_values(entry.biases, network.biases) && same_values(entry.links, network.links) &&
           same_values(entry.weights, network.weights);
}

// Larger networks' passes cost far more than their plans.
constexpr int32_t largest_cached_size = 256;

// Per thread: calls from other threads never share an entry.
struct PlanCache {
    std::array<CachedPlan, 4> entries;
    uint64_t clock = 0;
    Plan scratch;
    LaneState state;
};

thread_local PlanCache plan_cache;

const Plan& plan_for(const Network& network, bool cache) {
    PlanCache& c = plan_cache;
    if (!cache || network.size > largest_cached_size) {
        make_plan_into(c.scratch, network);
        return c.scratch;
    }
    ++c.clock;
    CachedPlan* slot = nullptr;
    for (CachedPlan& entry : c.entries) {
        if (entry.owner == &network) {
            if (built_from(entry, network)) {
                entry.last_use = c.clock;
                return entry.plan;
            }
            slot = &entry;
        }
    }
    if (slot == nullptr) {
        slot = &c.entries[0];
        for (CachedPlan& entry : c.entries) {
            if (entry.last_use < slot->last_use) slot = &entry;
        }
    }
    slot->owner = &network;
    slot->last_use = c.clock;
    slot->size = network.size;
    slot->inputs = network.inputs;
    slot->outputs = network.outputs;
    slot->recurrent = network.recurrent;
    slot->weights = network.weights;
    slot->biases = network.biases;
    slot->links = network.links;
    slot->activations = network.activations;
    make_plan_into(slot->plan, network);
    return slot->plan;
}

}  // namespace

void predict_series(Network& network, const double* x, int64_t count, int64_t steps,
                    bool clear_each, double* out) {
    if (count == 0) return;
    if (steps == 0) {
        if (clear_each) clear_state(network);
        return;
    }
    // One series is a control loop's step, or a sequence: its plan is kept.
    const Plan& plan = plan_for(network, count == 1);
    const int32_t lanes = count == 1 ? 1 : block_lanes;
    LaneState& state = plan_cache.state;
    reset_lane_state(state, plan, network, lanes);
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
