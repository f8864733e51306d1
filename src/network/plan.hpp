// The scoring form of a network: a compact, read-only plan decoded from the
// editable record, and passes that run it on several samples at once.
#pragma once

#include <cstdint>
#include <vector>

#include "network/network.hpp"

namespace tessavo {

// Per non-input node (index k - inputs): its incoming sources in increasing
// order with their weights, its bias and its activation code.
struct Plan {
    int32_t size = 0;
    int32_t inputs = 0;
    int32_t outputs = 0;
    bool recurrent = false;
    std::vector<uint32_t> starts;  // node j reads sources[starts[j] .. starts[j + 1])
    // Sources come in increasing order, so input nodes first: node j's
    // inputs are sources[starts[j] .. input_ends[j]).
    std::vector<uint32_t> input_ends;
    std::vector<int32_t> sources;
    std::vector<double> weights;
    std::vector<double> biases;
    std::vector<int32_t> activations;
};

Plan make_plan(const Network& network);
// The same into plan, whose buffers are reused.
void make_plan_into(Plan& plan, const Network& network);

// Node values and sums of `lanes` independent passes, entry k * lanes + l for
// node k and lane l. The inputs of a pass go into the values of nodes
// 0 .. inputs - 1 before it runs.
struct LaneState {
    int32_t lanes = 0;
    std::vector<double> values;
    std::vector<double> sums;
};

// Values 0; the sums of input nodes hold their biases, as after a pass.
LaneState make_lane_state(const Plan& plan, const Network& network, int32_t lanes);
// The same into state, whose buffers are reused.
void reset_lane_state(LaneState& state, const Plan& plan, const Network& network, int32_t lanes);
void clear_lanes(LaneState& state);
// The recurrent state (values) of the network into one lane, and after a
// pass the values and sums of one lane back into the network.
void load_lane(LaneState& state, int32_t lane, const Network& network);
void store_lane(const LaneState& state, int32_t lane, Network& network);

// One forward pass on every lane. Each lane sums bias first, then its
// sources in increasing index, one rounded product at a time, exactly as
// forward() does for one sample.
void run_pass(const Plan& plan, LaneState& state);
// The same reading the input nodes' lanes from inputs (input k's lanes at
// k * lanes) instead of from the state, whose input values are left as
// they were.
void run_pass(const Plan& plan, LaneState& state, const double* inputs);

// Passes of the network over count series of steps samples, x holding
// count * steps * inputs values and out receiving count * steps * outputs.
// Every series starts from a cleared state when clear_each is set, and from
// the network's state otherwise (for one series). The network ends holding
// the state after the last pass, as if its passes had run one at a time.
void predict_series(Network& network, const double* x, int64_t count, int64_t steps,
                    bool clear_each, double* out);

// Lanes of the block passes of training, evaluate and predict.
inline constexpr int32_t block_lanes = 16;

}  // namespace tessavo
