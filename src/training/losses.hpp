// Loss kinds and the loss of a network over a dataset of series.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "network/network.hpp"

namespace tessavo {

enum LossKind : int32_t {
    LOSS_MSE = 0,
    LOSS_MAE = 1,
    LOSS_MAPE = 2,
};

inline constexpr int32_t loss_count = 3;
extern const char* const loss_names[loss_count];

// A dataset after conversion: series of samples (time steps) of values. A
// feed-forward dataset is one single-step series per row.
using Sample = std::vector<double>;
using Series = std::vector<Sample>;
using SeriesSet = std::vector<Series>;

// Code of a loss name (exact bytes), or -1.
int32_t loss_code(std::string_view name);

// Mean over the target's entries of the per-output term of the code.
double sample_loss(int32_t code, const Sample& target, const double* prediction);

// One value per code: the mean loss over all targets of the dataset. Runs
// the forward passes on the network itself (its state changes).
std::vector<double> dataset_losses(Network& network, const SeriesSet& x, const SeriesSet& y,
                                   const std::vector<int32_t>& codes);

}  // namespace tessavo
