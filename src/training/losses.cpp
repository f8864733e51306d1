#include "training/losses.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessavo {

int32_t loss_code(std::string_view name) {
    for (int32_t code = 0; code < loss_count; ++code) {
        if (name == loss_names[code]) return code;
    }
    return -1;
}

double sample_loss(int32_t code, const double* target, std::size_t n, const double* prediction) {
    double sum = 0.0;
    switch (code) {
        case LOSS_MSE:
            for (std::size_t i = 0; i < n; ++i) {
                const double d = target[i] - prediction[i];
                sum += d * d;
            }
            break;
        case LOSS_MAE:
            for (std::size_t i = 0; i < n; ++i) sum += std::fabs(target[i] - prediction[i]);
            break;
        case LOSS_MAPE:
            for (std::size_t i = 0; i < n; ++i) {
                const double t = target[i];
                // The small constant keeps a zero target from dividing by zero.
                sum += (std::fabs(t - prediction[i]) * 100.0) / (std::fabs(t) + 1e-10);
            }
            break;
        default:
            break;
    }
    return sum / static_cast<double>(n);
}

namespace {

// sample_loss for every lane of a block at once: lane l compares target
// row targets[l] with the predictions of its lane (entry i * lanes + l).
// Each lane keeps sample_loss's order; lanes vectorise.
template <int L>
[[gnu::always_inline]] inline void lane_losses(int32_t code, const double* const* targets,
                                               std::size_t n, const double* predictions,
                                               double* terms) {
    double sum[L];
    for (int l = 0; l < L; ++l) sum[l] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* p = predictions + i * L;
        switch (code) {
            case LOSS_MSE:
                for (int l = 0; l < L; ++l) {
                    const double d = targets[l][i] - p[l];
                    sum[l] += d * d;
                }
                break;
            case LOSS_MAE:
                for (int l = 0; l < L; ++l) sum[l] += std::fabs(targets[l][i] - p[l]);
                break;
            case LOSS_MAPE:
                for (int l = 0; l < L; ++l) {
                    const double t = targets[l][i];
                    sum[l] += (std::fabs(t - p[l]) * 100.0) / (std::fabs(t) + 1e-10);
                }
                break;
            default:
                break;
        }
    }
    for (int l = 0; l < L; ++l) terms[l] = sum[l] / static_cast<double>(n);
}

}  // namespace

LaneInputs make_lane_inputs(const SeriesView& x) {
    LaneInputs result;
    const int32_t lanes = lanes_for(x.count);
    result.lanes = lanes;
    const int64_t blocks = (x.count + lanes - 1) / lanes;
    const std::size_t width = static_cast<std::size_t>(x.width);
    result.values.assign(static_cast<std::size_t>(blocks * x.steps) * width * lanes, 0.0);
    for (int64_t s = 0; s < x.count; ++s) {
        const int64_t block = s / lanes;
        const int64_t lane = s % lanes;
        for (int64_t t = 0; t < x.steps; ++t) {
            const double* in = x.sample(s, t);
            double* at = result.values.data() + (block * x.steps + t) * width * lanes + lane;
            for (std::size_t k = 0; k < width; ++k) at[k * lanes] = in[k];
        }
    }
    return result;
}

namespace {

// What scoring a network needs besides the network, kept by each thread.
struct ScoringScratch {
    Plan plan;
    LaneState state;
    std::vector<double> out;
    std::vector<double> terms;
    std::vector<const double*> targets;
};

thread_local ScoringScratch scoring_scratch;

}  // namespace

std::vector<double> dataset_losses(Network& network, const SeriesView& x, const SeriesView& y,
                                   const std::vector<int32_t>& codes,
                                   const LaneInputs* lane_inputs) {
    std::vector<double> result;
    dataset_losses_into(network, x, y, codes, lane_inputs, result);
    return result;
}

void dataset_losses_into(Network& network, const SeriesView& x, const SeriesView& y,
                         const std::vector<int32_t>& codes, const LaneInputs* lane_inputs,
                         std::vector<double>& result) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // An empty dataset has no mean, and a one-target series without steps
    // no output to compare; callers reject both, and data that does not fit
    // the network, before coming here.
    if (x.count == 0 || y.count < x.count || x.steps == 0 || x.width < network.inputs ||
        y.width > network.outputs || (y.steps != 1 && y.steps != x.steps)) {
        result.assign(codes.size(), nan);
        return;
    }
    result.assign(codes.size(), 0.0);
    ScoringScratch& scratch = scoring_scratch;
    Plan& plan = scratch.plan;
    make_plan_into(plan, network);
    // Lanes are series: each keeps its own state and runs its steps in order.
    const int32_t lanes = lanes_for(x.count);
    const std::size_t step_span = static_cast<std::size_t>(x.width) * lanes;
    const int64_t blocks = (x.count + lanes - 1) / lanes;
    if (lane_inputs != nullptr &&
        (lane_inputs->lanes != lanes ||
         lane_inputs->values.size() != static_cast<std::size_t>(blocks * x.steps) * step_span)) {
        lane_inputs = nullptr;
    }
    LaneState& state = scratch.state;
    reset_lane_state(state, plan, network, lanes);
    const bool per_step = y.steps != 1;
    const int32_t inputs = plan.inputs;
    const std::size_t outputs = static_cast<std::size_t>(network.outputs);
    const std::size_t first_output = static_cast<std::size_t>(plan.size) - outputs;
    const int64_t kept_steps = per_step ? x.steps : 1;
    // Outputs of every kept step, laid out per lane: step, output, lane.
    std::vector<double>& out = scratch.out;
    out.resize(static_cast<std::size_t>(lanes * kept_steps) * outputs);
    // Per-sample losses of a block: code, lane, step.
    std::vector<double>& terms = scratch.terms;
    terms.resize(codes.size() * static_cast<std::size_t>(lanes * kept_steps));
    const std::size_t target_width = static_cast<std::size_t>(y.width);
    std::vector<const double*>& targets = scratch.targets;
    targets.resize(static_cast<std::size_t>(lanes));
    int32_t last_lane = 0;
    const double* last_inputs = nullptr;
    for (int64_t s0 = 0; s0 < x.count; s0 += lanes) {
        const int32_t used = static_cast<int32_t>(std::min<int64_t>(lanes, x.count - s0));
        // The first block of a feed-forward network starts from its state,
        // which its passes never read.
        if (network.recurrent) clear_lanes(state);
        for (int64_t t = 0; t < x.steps; ++t) {
            if (lane_inputs != nullptr) {
                // Read in place; only the last pass's inputs are kept (below).
                last_inputs =
                    lane_inputs->values.data() + ((s0 / lanes) * x.steps + t) * step_span;
                run_pass(plan, state, last_inputs);
            } else {
                // Without shared inputs (one network to score), the block is
                // laid out here; no copy of the whole dataset is made.
                for (int32_t l = 0; l < used; ++l) {
                    const double* in = x.sample(s0 + l, t);
                    for (int32_t k = 0; k < inputs; ++k) state.values[k * lanes + l] = in[k];
                }
                run_pass(plan, state);
            }
            if (per_step || t == x.steps - 1) {
                const int64_t kept = per_step ? t : 0;
                std::copy_n(
                    state.values.begin() + static_cast<std::ptrdiff_t>(first_output * lanes),
                    outputs * lanes, out.begin() + kept * outputs * lanes);
            }
        }
        // Unused lanes compare with the last series' targets; their terms
        // are never added.
        for (int64_t t = 0; t < kept_steps; ++t) {
            for (int32_t l = 0; l < lanes; ++l) {
                targets[l] = y.sample(s0 + std::min(l, used - 1), t);
            }
            const double* predictions = out.data() + t * outputs * lanes;
            for (std::size_t j = 0; j < codes.size(); ++j) {
                double lane_terms[block_lanes];
                if (lanes == block_lanes) {
                    lane_losses<block_lanes>(codes[j], targets.data(), target_width, predictions,
                                             lane_terms);
                } else {
                    lane_losses<1>(codes[j], targets.data(), target_width, predictions, lane_terms);
                }
                for (int32_t l = 0; l < lanes; ++l) {
                    terms[(j * lanes + l) * kept_steps + t] = lane_terms[l];
                }
            }
        }
        // Series by series, step by step, as one sample at a time would add.
        for (std::size_t j = 0; j < codes.size(); ++j) {
            const double* term = terms.data() + j * lanes * kept_steps;
            double total = result[j];
            for (int64_t k = 0; k < used * kept_steps; ++k) total += term[k];
            result[j] = total;
        }
        last_lane = used - 1;
    }
    // The network ends holding its last pass's inputs as well.
    if (last_inputs != nullptr) {
        std::copy_n(last_inputs, static_cast<std::size_t>(inputs) * lanes, state.values.begin());
    }
    store_lane(state, last_lane, network);
    const uint64_t count = static_cast<uint64_t>(y.steps) * static_cast<uint64_t>(x.count);
    const double divisor = static_cast<double>(count);
    for (double& value : result) value /= divisor;
}

}  // namespace tessavo
