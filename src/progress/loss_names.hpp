// The losses a model can be compiled with, by code: the codes that rows of
// losses are indexed by, and the names that progress lines and histories
// show.
#pragma once

#include <cstdint>

namespace tessavo {

enum LossKind : int32_t {
    LOSS_MSE = 0,
    LOSS_MAE = 1,
    LOSS_MAPE = 2,
};

inline constexpr int32_t loss_count = 3;
inline constexpr const char* loss_names[loss_count] = {"mse", "mae", "mape"};

}  // namespace tessavo
