#include "training/gamma.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "random/sources.hpp"

namespace tessavo {

namespace {

// Lower is better; NaN ranks last.
bool ranks_before(double a, double b) {
    if (std::isnan(b)) return !std::isnan(a);
    return a < b;
}

// Step sizes stay where doubles still move a weight and never overflow one.
constexpr double gamma_min_scale = 1e-12;
constexpr double gamma_max_scale = 1e6;
// A best loss must improve by more than this share of itself to count.
constexpr double gamma_improvement = 1e-12;

uint64_t fresh_seed() { return (static_cast<uint64_t>(device_value()) << 32) | device_value(); }

}  // namespace

std::string gamma_settings_error(const GammaSettings& s) {
    if (!(std::isfinite(s.step_size) && s.step_size > 0.0 && s.step_size <= 1e6)) {
        return "step_size must be a finite number above 0 and at most 1e6";
    }
    if (s.hidden_activation < -1 || s.hidden_activation >= activation_count) {
        return "hidden_activation must name an activation";
    }
    return {};
}

ParameterMap parameter_map(const Network& n) {
    ParameterMap map;
    for (int32_t i = n.inputs; i < n.size; ++i) map.biases.push_back(i);
    for (std::size_t at = 0; at < n.links.size(); ++at) {
        if (n.links[at] != 0) map.cells.push_back(at);
    }
    return map;
}

void read_parameters(const Network& n, const ParameterMap& map, std::vector<double>& out) {
    out.clear();
    for (const int32_t i : map.biases) out.push_back(n.biases[static_cast<std::size_t>(i)]);
    for (const std::size_t at : map.cells) out.push_back(n.weights[at]);
}

void write_parameters(Network& n, const ParameterMap& map, const double* values) {
    std::size_t k = 0;
    for (const int32_t i : map.biases) n.biases[static_cast<std::size_t>(i)] = values[k++];
    for (const std::size_t at : map.cells) n.weights[at] = values[k++];
}

std::vector<double> rank_utilities(int32_t lambda) {
    std::vector<double> u(static_cast<std::size_t>(std::max(lambda, 0)));
    double sum = 0.0;
    for (std::size_t k = 0; k < u.size(); ++k) {
        u[k] = std::max(0.0, std::log(lambda / 2.0 + 1.0) - std::log(static_cast<double>(k) + 1.0));
        sum += u[k];
    }
    for (double& v : u) v = v / sum - 1.0 / lambda;
    return u;
}

std::vector<int32_t> rank_order(const std::vector<LossRow>& losses, std::size_t first) {
    std::vector<int32_t> order(losses.size() - std::min(first, losses.size()));
    std::iota(order.begin(), order.end(), static_cast<int32_t>(first));
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return ranks_before(primary_loss(losses[static_cast<std::size_t>(a)]),
                            primary_loss(losses[static_cast<std::size_t>(b)]));
    });
    return order;
}

void nes_update(std::vector<double>& mean, std::vector<double>& scale, const double* z,
                const std::vector<int32_t>& order) {
    const std::size_t n = mean.size();
    if (n == 0 || order.empty()) return;
    const auto dn = static_cast<double>(n);
    const std::vector<double> u = rank_utilities(static_cast<int32_t>(order.size()));
    const double eta = (3.0 + std::log(dn)) / (5.0 * std::sqrt(dn));
    std::vector<double> move(n, 0.0), spread(n, 0.0);
    for (std::size_t r = 0; r < order.size(); ++r) {
        const double* row = z + static_cast<std::size_t>(order[r]) * n;
        for (std::size_t j = 0; j < n; ++j) {
            move[j] += u[r] * row[j];
            spread[j] += u[r] * (row[j] * row[j] - 1.0);
        }
    }
    for (std::size_t j = 0; j < n; ++j) {
        mean[j] += scale[j] * move[j];
        scale[j] = std::clamp(scale[j] * std::exp(0.5 * eta * spread[j]), gamma_min_scale,
                              gamma_max_scale);
    }
}

int64_t restart_patience(std::size_t parameters, int32_t lambda) {
    return 5 + static_cast<int64_t>(30.0 * static_cast<double>(parameters) / std::max(lambda, 1));
}

GammaSearch::GammaSearch(const Network& start, int32_t pop_size, const GammaSettings& settings)
    : settings_(settings) {
    if (pop_size < 1 || !gamma_settings_error(settings).empty()) {
        throw std::invalid_argument("GammaSearch: unchecked arguments");
    }
    first_sample_ = pop_size >= 4 ? 2 : pop_size >= 3 ? 1 : 0;
    lambda_ = pop_size - static_cast<int32_t>(first_sample_);
    copy_into(shape_, start);
    if (settings.hidden_activation >= 0) {
        for (int32_t i = shape_.inputs; i < shape_.size - shape_.outputs; ++i) {
            shape_.activations[static_cast<std::size_t>(i)] = settings.hidden_activation;
        }
    }
    map_ = parameter_map(shape_);
    read_parameters(shape_, map_, mean_);
    scale_.assign(mean_.size(), settings.step_size);
    members_.resize(static_cast<std::size_t>(pop_size));
    sample(fresh_seed());
}

void GammaSearch::sample(uint64_t seed) {
    const std::size_t n = mean_.size();
    noise_.resize(static_cast<std::size_t>(lambda_) * n);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Network& m = members_[i];
        copy_into(m, shape_);
        RandomEngine engine = derived_engine(seed, i);
        if (i == 1 && first_sample_ == 2 && have_elite_) {
            copy_into(m, elite_);
        } else if (i < first_sample_) {
            write_parameters(m, map_, mean_.data());
        } else {
            double* z = noise_.data() + (i - first_sample_) * n;
            for (std::size_t j = 0; j < n; j += 2) {
                const auto [a, b] = polar_step(engine);
                z[j] = a;
                if (j + 1 < n) z[j + 1] = b;
            }
            for (std::size_t j = 0; j < n; ++j) x[j] = mean_[j] + scale_[j] * z[j];
            write_parameters(m, map_, x.data());
        }
        m.rng = engine;
    }
}

void GammaSearch::restart(uint64_t seed) {
    // A fresh mean and fresh output activations (hidden ones too unless
    // fixed): a stall is often a dead output or a poor basin.
    RandomEngine engine = derived_engine(seed, std::numeric_limits<uint64_t>::max());
    for (double& v : mean_) v = settings_.step_size * polar_step(engine).first;
    for (int32_t i = shape_.inputs; i < shape_.size; ++i) {
        const bool hidden = i < shape_.size - shape_.outputs;
        shape_.activations[static_cast<std::size_t>(i)] =
            hidden && settings_.hidden_activation >= 0
                ? settings_.hidden_activation
                : std::min(activation_count - 1,
                           static_cast<int32_t>(canonical_uniform(engine) * activation_count));
    }
    scale_.assign(mean_.size(), settings_.step_size);
    have_best_ = false;
    ++restarts_;
}

bool GammaSearch::run_generation(const PoolScorer& score) {
    if (scored_) {
        ++generation_;
        const int32_t leader = rank_order(losses_, 0).front();
        if (first_sample_ == 2) {
            // The elite was scored again with this generation: it stays only
            // while nothing beats its new score.
            copy_into(elite_, members_[static_cast<std::size_t>(leader)]);
            have_elite_ = true;
        }
        const std::vector<int32_t> order = rank_order(losses_, first_sample_);
        std::vector<int32_t> rows(order);
        for (int32_t& r : rows) r -= static_cast<int32_t>(first_sample_);
        nes_update(mean_, scale_, noise_.data(), rows);
        const uint64_t seed = fresh_seed();
        bool stalled =
            !std::all_of(mean_.begin(), mean_.end(), [](double v) { return std::isfinite(v); });
        if (settings_.restarts && !stalled) {
            const double best = primary_loss(losses_[static_cast<std::size_t>(leader)]);
            if (!have_best_ || ranks_before(best, best_ - gamma_improvement * std::fabs(best_))) {
                best_ = best;
                best_generation_ = generation_;
                have_best_ = true;
            }
            stalled = generation_ - best_generation_ > restart_patience(mean_.size(), lambda_);
        }
        if (stalled) restart(seed);
        sample(seed);
    }
    std::vector<LossRow> rows;
    if (!score(members_, rows)) return false;
    if (rows.size() < members_.size()) {
        throw std::logic_error("GammaSearch: fewer loss rows than pool members");
    }
    rows.resize(members_.size());
    losses_ = std::move(rows);
    scored_ = true;
    return true;
}

void GammaSearch::write_state(StateWriter& out) const {
    out.str("Gamma");
    out.u8(scored_ ? 1 : 0);
    put_network(out, shape_);
    out.f64s(mean_);
    out.f64s(scale_);
    out.f64s(noise_);
    out.u64(members_.size());
    for (const Network& member : members_) put_network(out, member);
    put_rows(out, losses_);
    out.u8(have_elite_ ? 1 : 0);
    if (have_elite_) put_network(out, elite_);
    out.u64(static_cast<uint64_t>(generation_));
    out.u64(static_cast<uint64_t>(best_generation_));
    out.f64(best_);
    out.u8(have_best_ ? 1 : 0);
    out.i32(restarts_);
}

void GammaSearch::read_state(StateReader& in) {
    expect_optimizer(in, "Gamma");
    // Every network shares the search's fixed topology: the parameter map
    // made from it at construction must still fit.
    auto topology_ok = [&](const Network& n) {
        return n.size == shape_.size && n.links == shape_.links;
    };
    const bool scored = in.flag();
    Network shape = get_member(in, shape_);
    if (!topology_ok(shape)) in.bad("holds a network of another topology than the search's");
    std::vector<double> mean = in.f64s();
    std::vector<double> scale = in.f64s();
    std::vector<double> noise = in.f64s();
    const std::size_t n = map_.size();
    if (mean.size() != n || scale.size() != n ||
        noise.size() != static_cast<std::size_t>(lambda_) * n) {
        in.bad("holds a mean, step sizes or noise of another length than the parameters");
    }
    for (const double v : scale) {
        if (!(v >= gamma_min_scale && v <= gamma_max_scale))
            in.bad("holds an impossible step size");
    }
    const uint64_t count = in.u64();
    if (count != members_.size()) in.bad("holds another number of members");
    std::vector<Network> members;
    for (uint64_t k = 0; k < count; ++k) {
        members.push_back(get_member(in, shape_));
        if (!topology_ok(members.back())) {
            in.bad("holds a network of another topology than the search's");
        }
    }
    std::vector<LossRow> losses = get_rows(in);
    if (scored ? losses.size() != count : !losses.empty()) in.bad("holds a loss row per member");
    const bool have_elite = in.flag();
    Network elite;
    if (have_elite) {
        if (first_sample_ != 2) in.bad("holds an elite that this population has no place for");
        elite = get_member(in, shape_);
        if (!topology_ok(elite)) in.bad("holds a network of another topology than the search's");
    }
    const uint64_t generation = in.u64();
    const uint64_t best_generation = in.u64();
    const double best = in.f64();
    const bool have_best = in.flag();
    const int32_t restarts = in.i32();
    constexpr auto most = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (generation > most || best_generation > generation) {
        in.bad("holds impossible generation counters");
    }
    if (restarts < 0) in.bad("holds a negative number of restarts");
    in.finish();
    scored_ = scored;
    shape_ = std::move(shape);
    mean_ = std::move(mean);
    scale_ = std::move(scale);
    noise_ = std::move(noise);
    members_ = std::move(members);
    losses_ = std::move(losses);
    have_elite_ = have_elite;
    elite_ = std::move(elite);
    generation_ = static_cast<int64_t>(generation);
    best_generation_ = static_cast<int64_t>(best_generation);
    best_ = best;
    have_best_ = have_best;
    restarts_ = restarts;
}

OptimizerFactory gamma_optimizer(const GammaSettings& settings) {
    return [settings](const Network& start, int32_t pop_size, std::size_t) {
        return std::make_unique<GammaSearch>(start, pop_size, settings);
    };
}

}  // namespace tessavo
