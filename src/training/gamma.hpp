// The third optimizer: a separable natural evolution strategy over the
// weights and biases of the start network's fixed topology. It keeps a mean
// network and a step size per parameter, samples each generation around the
// mean and moves both by the ranks of the samples' losses, so only the order
// of the scores matters. When the best loss stops improving it starts again
// from a fresh mean with fresh activations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "training/optimizer.hpp"
#include "training/population.hpp"

namespace tessavo {

struct GammaSettings {
    double step_size = 1.0;         // first step size of every parameter
    int32_t hidden_activation = 1;  // code given to hidden nodes; -1 keeps the start's
    bool restarts = true;           // start again when the search has stalled
};

// Empty when the settings are usable, else what is wrong with the first bad one.
std::string gamma_settings_error(const GammaSettings& settings);

// Positions of a network's searched parameters: the biases of non-input
// nodes, then every set link in matrix order.
struct ParameterMap {
    std::vector<int32_t> biases;     // node indices
    std::vector<std::size_t> cells;  // matrix cells
    std::size_t size() const { return biases.size() + cells.size(); }
};
ParameterMap parameter_map(const Network& network);
void read_parameters(const Network& network, const ParameterMap& map, std::vector<double>& out);
void write_parameters(Network& network, const ParameterMap& map, const double* values);

// Rank utilities for lambda samples, best first: max(0, ln(lambda/2 + 1) -
// ln(k)) for rank k = 1 .. lambda, normalised to sum 1, minus 1 / lambda.
// They sum to 0, so a generation of equal ranks moves nothing.
std::vector<double> rank_utilities(int32_t lambda);

// Indices first .. size-1 of the rows, best primary loss first; NaN last,
// ties in index order.
std::vector<int32_t> rank_order(const std::vector<LossRow>& losses, std::size_t first);

// One update of the distribution from the noises z (lambda rows of n, the
// samples were mean + scale * z) taken best first through order (row
// indices): mean += scale * sum u_k z_k, then scale *= exp(eta / 2 * sum
// u_k (z_k^2 - 1)) with eta = (3 + ln n) / (5 sqrt n).
void nes_update(std::vector<double>& mean, std::vector<double>& scale, const double* z,
                const std::vector<int32_t>& order);

// Generations without a better best loss after which a search restarts.
int64_t restart_patience(std::size_t parameters, int32_t lambda);

class GammaSearch final : public Optimizer {
public:
    // Member 0 is the mean (at first the start, hidden activations set) when
    // pop_size is at least 3, and member 1 the best network of the last
    // generation, scored again, when it is at least 4; the rest are samples.
    // Nothing is scored yet.
    GammaSearch(const Network& start, int32_t pop_size, const GammaSettings& settings);

    bool run_generation(const PoolScorer& score) override;
    const std::vector<Network>& members() const override { return members_; }
    const std::vector<LossRow>& losses() const override { return losses_; }
    void write_state(StateWriter& out) const override;
    void read_state(StateReader& in) override;

    const std::vector<double>& mean() const { return mean_; }
    const std::vector<double>& scale() const { return scale_; }
    int32_t restarts() const { return restarts_; }

private:
    void sample(uint64_t seed);
    void restart(uint64_t seed);

    GammaSettings settings_;
    std::size_t first_sample_;  // members before the samples: mean, elite
    int32_t lambda_;            // samples that enter the update
    Network shape_;             // topology and activations of every member
    ParameterMap map_;
    std::vector<double> mean_;
    std::vector<double> scale_;
    std::vector<double> noise_;  // z of every sample, lambda_ rows of n
    std::vector<Network> members_;
    std::vector<LossRow> losses_;
    Network elite_;
    bool have_elite_ = false;
    bool scored_ = false;
    int64_t generation_ = 0;
    int64_t best_generation_ = 0;
    double best_ = 0.0;
    bool have_best_ = false;
    int32_t restarts_ = 0;
};

// Gamma with these settings; the loss rows' width does not concern it.
OptimizerFactory gamma_optimizer(const GammaSettings& settings);

}  // namespace tessavo
