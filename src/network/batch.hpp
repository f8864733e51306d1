// Many small networks run as one: blocks of batch_lanes networks, one lane
// each, stepped node by node so that a block's activations run as vectors.
// Each lane sums and activates exactly as run_pass does for that network
// alone, so the results are the same bits.
#pragma once

#include <cstdint>
#include <vector>

#include "network/network.hpp"

namespace tessavo {

inline constexpr int32_t batch_lanes = 16;

// batch_lanes networks side by side. Rows are nodes: node k of lane l is
// entry k * batch_lanes + l of the block's values and sums.
struct BatchBlock {
    int32_t used = 0;   // lanes that hold a network
    int32_t rows = 0;   // the largest size among them
    int32_t steps = 0;  // the most non-input nodes among them
    // Step j (node inputs + j) reads edge rows [step_rows[j], step_rows[j + 1]).
    std::vector<uint32_t> step_rows;
    // Per edge row r and lane l, at r * batch_lanes + l: the entry to read,
    // its weight, and all ones when lane l has that edge (zero for padding).
    std::vector<int32_t> index;
    std::vector<double> weight;
    std::vector<uint64_t> valid;
    // The same per edge row as bits, lane l at bit l.
    std::vector<uint16_t> mask;
    // Per step j and lane l: the bias and activation code (-1 for padding).
    std::vector<double> bias;
    std::vector<int32_t> code;
    // Per step j, L entries from j * L: the lanes that use sigmoid, then
    // those that use tanh, then the rest; and how many use each of the two.
    std::vector<uint8_t> order;
    std::vector<int32_t> counts;
    // Per step: bit c set when some lane activates with code c.
    std::vector<uint8_t> kinds;
    // Per output o and lane l: the row holding it.
    std::vector<int32_t> output_rows;
};

struct BatchPlan {
    int32_t inputs = 0;
    int32_t outputs = 0;
    int64_t count = 0;
    int64_t edges = 0;  // edge rows times lanes: the work of one pass of all blocks
    std::vector<BatchBlock> blocks;
};

// The networks must share inputs and outputs.
BatchPlan make_batch_plan(const std::vector<const Network*>& networks);

// Entries of one block's values (and of its sums).
inline std::size_t batch_block_cells(const BatchBlock& block) {
    return static_cast<std::size_t>(block.rows) * batch_lanes;
}

// Runs blocks [first, last) over `samples` steps. Network n's inputs for
// step s are x[(n * samples + s) * inputs ...], its outputs go to the same
// place in out (with outputs per row). values and sums hold every block's
// cells one block after another (block b at offsets[b]); a lane's values
// carry from step to step, as a recurrent network's state does.
void run_batch(const BatchPlan& plan, std::size_t first, std::size_t last, const double* x,
               int64_t samples, const std::vector<std::size_t>& offsets, double* values,
               double* sums, double* out);

}  // namespace tessavo
