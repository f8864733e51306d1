// Loss kinds and the loss of a network over a dataset of series.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "network/network.hpp"
#include "network/plan.hpp"
#include "progress/loss_names.hpp"

namespace tessavo {

// A dataset after conversion, read in place: count series of steps samples
// (time steps) of width values each, series after series in one contiguous
// block. A feed-forward dataset is one single-step series per row.
struct SeriesView {
    const double* data = nullptr;
    int64_t count = 0;
    int64_t steps = 0;
    int32_t width = 0;

    const double* sample(int64_t series, int64_t step) const {
        return data + (series * steps + step) * width;
    }
    // Series lo .. hi - 1.
    SeriesView slice(int64_t lo, int64_t hi) const {
        return {count == 0 ? data : sample(lo, 0), hi - lo, steps, width};
    }
};

// A dataset that owns its block.
struct SeriesBlock {
    std::vector<double> values;
    int64_t count = 0;
    int64_t steps = 0;
    int32_t width = 0;

    SeriesView view() const { return {values.data(), count, steps, width}; }
};

// Code of a loss name (exact bytes), or -1.
int32_t loss_code(std::string_view name);

// Mean over the n target entries of the per-output term of the code.
double sample_loss(int32_t code, const double* target, std::size_t n, const double* prediction);

// The inputs of a dataset laid out for block passes: block b, step t and
// input k hold the lanes' values at ((b * steps + t) * width + k) * lanes.
// Built once and shared by every network scored on the same data.
struct LaneInputs {
    int32_t lanes = 0;
    std::vector<double> values;
};

// Lanes of the passes over a dataset of count series: one series runs
// alone.
inline int32_t lanes_for(int64_t count) { return count == 1 ? 1 : block_lanes; }

LaneInputs make_lane_inputs(const SeriesView& x);

// One value per code: the mean loss over all targets of the dataset. Runs
// block passes of the network's plan; the network ends holding the state
// after the last pass, as if its passes had run one sample at a time.
// lane_inputs, when given, is make_lane_inputs(x); without it each block is
// laid out as it is run.
std::vector<double> dataset_losses(Network& network, const SeriesView& x, const SeriesView& y,
                                   const std::vector<int32_t>& codes,
                                   const LaneInputs* lane_inputs = nullptr);
// The same into result, reusing its buffer: with the plan and lane state
// kept per thread, scoring a network allocates nothing once warm.
void dataset_losses_into(Network& network, const SeriesView& x, const SeriesView& y,
                         const std::vector<int32_t>& codes, const LaneInputs* lane_inputs,
                         std::vector<double>& result);

}  // namespace tessavo
