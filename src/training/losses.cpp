#include "training/losses.hpp"

#include <cmath>
#include <limits>

namespace tessavo {

const char* const loss_names[loss_count] = {"mse", "mae", "mape"};

int32_t loss_code(std::string_view name) {
    for (int32_t code = 0; code < loss_count; ++code) {
        if (name == loss_names[code]) return code;
    }
    return -1;
}

double sample_loss(int32_t code, const Sample& target, const double* prediction) {
    const std::size_t n = target.size();
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

void add_losses(std::vector<double>& result, const std::vector<int32_t>& codes,
                const Sample& target, const double* prediction) {
    for (std::size_t j = 0; j < codes.size(); ++j) {
        result[j] += sample_loss(codes[j], target, prediction);
    }
}

}  // namespace

std::vector<double> dataset_losses(Network& network, const SeriesSet& x, const SeriesSet& y,
                                   const std::vector<int32_t>& codes) {
    std::vector<double> result(codes.size(), 0.0);
    // An empty dataset has no mean; callers reject it before coming here.
    if (x.empty() || y.empty()) {
        result.assign(codes.size(), std::numeric_limits<double>::quiet_NaN());
        return result;
    }
    // One output vector for every pass of the call.
    std::vector<double> output;
    output.reserve(static_cast<std::size_t>(network.outputs));
    for (std::size_t s = 0; s < x.size(); ++s) {
        if (network.recurrent) {
            for (double& value : network.values) value = 0.0;
        }
        const Series& inputs = x[s];
        const Series& targets = y[s];
        if (targets.size() == 1) {
            if (inputs.empty()) {
                // No step, no output to compare.
                for (double& value : result) value = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            for (const Sample& step : inputs) forward(network, step.data(), output);
            add_losses(result, codes, targets[0], output.data());
        } else {
            for (std::size_t i = 0; i < inputs.size(); ++i) {
                forward(network, inputs[i].data(), output);
                add_losses(result, codes, targets[i], output.data());
            }
        }
    }
    const uint64_t count = static_cast<uint64_t>(y[0].size()) * static_cast<uint64_t>(x.size());
    const double divisor = static_cast<double>(count);
    for (double& value : result) value /= divisor;
    return result;
}

}  // namespace tessavo
