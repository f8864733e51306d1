// The second optimizer: species of networks, each keeping its champions and
// breeding children by additive perturbations whose step sizes adapt to the
// search, with structural growth protected inside the species.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "training/optimizer.hpp"
#include "training/population.hpp"

namespace tessavo {

struct BetaSettings {
    double mutation_power = 1.0;  // first step size of a perturbation
    double mutation_rate = 0.2;   // chance that a child moves each parameter
    double structure_rate = 0.2;  // chance that a child gains a node or a link
    int32_t species = 6;          // the number of species the threshold steers to
    int32_t elitism = 1;          // champions kept unchanged per species
    // Output nodes keep the start network's activations: a linear output
    // set for regression stays linear.
    bool keep_output_activations = false;
};

// Empty when the settings are usable, else what is wrong with the first bad one.
std::string beta_settings_error(const BetaSettings& settings);

class BetaSearch final : public Optimizer {
public:
    // A population of pop_size networks around start; nothing is scored yet.
    BetaSearch(const Network& start, int32_t pop_size, const BetaSettings& settings);

    // The first call scores the first population; later calls breed a new
    // one from the last scores and score it. False when the scorer failed;
    // the search is then unusable.
    bool run_generation(const PoolScorer& score) override;

    // The last scored population and its rows (in scoring order).
    const std::vector<Network>& members() const override { return members_; }
    const std::vector<LossRow>& losses() const override { return losses_; }

    void write_state(StateWriter& out) const override;
    void read_state(StateReader& in) override;

    // The step size of each member of the last generation.
    const std::vector<double>& steps() const { return steps_; }

    // Species that hold members after the last generation.
    std::size_t species_count() const { return species_.size(); }
    // The network that stands for species k (the champion it had when the
    // last generation was bred).
    const Network& representative(std::size_t k) const { return species_[k].representative; }

private:
    struct Species {
        Network representative;
        double best = 0.0;     // the best primary loss it has reached
        int32_t stagnant = 0;  // generations without improving on best
        bool improved = false;
        std::vector<int32_t> members;  // indices into members_, best first
        double share = 0.0;
        int32_t offspring = 0;
    };
    // One child of the next generation: a copy of parent (an elite when
    // other < 0 and elite is set), crossed with other when other >= 0.
    struct Plan {
        int32_t parent = 0;
        int32_t other = -1;
        bool elite = false;
    };

    void speciate();
    std::vector<Plan> plan_children(RandomEngine& engine);
    void breed(const Plan& plan, std::size_t index, uint64_t seed);

    BetaSettings settings_;
    int32_t pop_size_;
    bool scored_ = false;
    double threshold_ = 3.0;
    std::vector<Network> members_;
    std::vector<LossRow> losses_;
    std::vector<double> steps_;  // each member's step size
    std::vector<Network> next_;
    std::vector<double> next_steps_;
    std::vector<Species> species_;
    // The species (index into species_) each member was bred in; empty for
    // the first population, -1 where unknown.
    std::vector<int32_t> origins_;
};

// Beta with these settings; the loss rows' width does not concern it.
OptimizerFactory beta_optimizer(const BetaSettings& settings);

// Operators, exposed for their tests.

// Children per species from their shares of total (count in all): the floor
// of each exact number, then one more each to the largest remainders (ties
// in species order) until count are given. With a total of 0 every share
// counts as 0, and the children go round in species order.
std::vector<int32_t> apportion(const std::vector<double>& shares, double total, int32_t count);

// A child's step size: step scaled by exp(0.15 N(0, 1)), kept in [1e-4, 1e3].
double adapt_step(double step, RandomEngine& engine);

// Moves each bias of a non-input node and each set weight with probability
// rate (at least one of them) by step N(0, 1), or, for one in 20 of them,
// redraws it from N(0, 1).
void beta_perturb(Network& n, RandomEngine& engine, double rate, double step);

// The compatibility distance of two networks. Of different sizes: 0.2 per
// node and 0.1 per link of difference in the counts. Of one size: 1 per link
// only one has and per differing activation, plus 0.4 times the mean absolute
// difference of shared parameters.
double compatibility_distance(const Network& a, const Network& b);

}  // namespace tessavo
