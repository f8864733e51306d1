// The third optimizer: an evolution strategy over the weights and biases of
// a fixed topology. It keeps a mean network and a step size per parameter,
// samples each generation around the mean, and moves the mean and the steps
// by the ranks of the samples' losses (separable CMA-ES).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "training/population.hpp"

namespace tessavo {

struct GammaSettings {
    double sigma = 0.5;  // first step size of every parameter
    // Prototype knobs, measured in benchmarks/gamma_tuning.cpp.
    int32_t mode = 1;        // 0: separable NES, 1: separable CMA-ES
    bool mirrored = false;   // samples in pairs m + s and m - s
    bool score_mean = true;  // member 0 is the mean itself
    int32_t hidden = -1;     // activation code forced on hidden nodes (-1: keep)
    bool restarts = false;   // restart around the start when stuck
    bool redraw = false;     // a restart redraws activations (hidden ones to `hidden` if set)
    int32_t patience = 20;
    int32_t init = 0;  // mean starts at: 0 the start, 1 zero, 2 the start scaled by init_scale
    double init_scale = 0.1;
};

// Empty when the settings are usable, else what is wrong with the first bad one.
std::string gamma_settings_error(const GammaSettings& settings);

// Positions of a network's searched parameters: the biases of non-input
// nodes, then every set link, column by column.
struct ParameterMap {
    std::vector<int32_t> biases;     // node indices
    std::vector<std::size_t> cells;  // matrix cells (to * size + from)
    std::size_t size() const { return biases.size() + cells.size(); }
};
ParameterMap parameter_map(const Network& network);
void read_parameters(const Network& network, const ParameterMap& map, std::vector<double>& out);
void write_parameters(Network& network, const ParameterMap& map, const double* values);

// Recombination weights for the best mu = lambda / 2 of lambda ranked
// samples: ln(mu + 1/2) - ln(i), summing to 1.
std::vector<double> recombination_weights(int32_t lambda);
// Rank utilities of separable NES: max(0, ln(lambda/2 + 1) - ln(k)),
// normalised to sum 1, minus 1 / lambda.
std::vector<double> nes_utilities(int32_t lambda);

// Order of a generation's rows, best first (NaN last, ties by index).
std::vector<int32_t> rank_order(const std::vector<LossRow>& losses, std::size_t first);

class GammaSearch {
public:
    GammaSearch(const Network& start, int32_t pop_size, const GammaSettings& settings);

    // The first call scores the first population; later calls update the
    // distribution from the last scores, sample a new one and score it.
    // False when the scorer failed.
    bool run_generation(const PoolScorer& score);

    const std::vector<Network>& members() const { return members_; }
    const std::vector<LossRow>& losses() const { return losses_; }
    const std::vector<double>& mean() const { return mean_; }
    const std::vector<double>& deviations() const { return scale_; }  // sigma * D
    double sigma() const { return sigma_; }

private:
    void update();
    void sample(uint64_t seed);
    void restart();

    GammaSettings settings_;
    int32_t pop_size_;
    int32_t lambda_;  // samples that enter the update
    std::size_t first_sample_;
    bool scored_ = false;
    Network start_;
    Network shape_;
    ParameterMap map_;
    std::vector<double> mean_;
    std::vector<double> diag_;   // D: per-parameter scale (sqrt of C's diagonal)
    std::vector<double> scale_;  // sigma * D
    double sigma_ = 1.0;
    std::vector<double> path_sigma_, path_c_;
    int64_t generation_ = 0;
    std::vector<double> noise_;  // z of every sample, lambda_ x n
    std::vector<Network> members_;
    std::vector<LossRow> losses_;
    // Restarts
    double best_ever_ = 0.0;
    int64_t best_generation_ = 0;
    bool have_best_ = false;
};

}  // namespace tessavo
