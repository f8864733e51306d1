#include "training/gamma.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
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

constexpr double gamma_min_scale = 1e-12;
constexpr double gamma_max_scale = 1e6;

}  // namespace

std::string gamma_settings_error(const GammaSettings& s) {
    if (!(std::isfinite(s.sigma) && s.sigma > 0.0)) return "sigma must be a finite number above 0";
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

std::vector<double> recombination_weights(int32_t lambda) {
    const int32_t mu = std::max(1, lambda / 2);
    std::vector<double> w(static_cast<std::size_t>(mu));
    double sum = 0.0;
    for (int32_t i = 0; i < mu; ++i) {
        w[static_cast<std::size_t>(i)] = std::log(mu + 0.5) - std::log(i + 1.0);
        sum += w[static_cast<std::size_t>(i)];
    }
    for (double& v : w) v /= sum;
    return w;
}

std::vector<double> nes_utilities(int32_t lambda) {
    std::vector<double> u(static_cast<std::size_t>(lambda));
    double sum = 0.0;
    for (int32_t k = 0; k < lambda; ++k) {
        u[static_cast<std::size_t>(k)] =
            std::max(0.0, std::log(lambda / 2.0 + 1.0) - std::log(k + 1.0));
        sum += u[static_cast<std::size_t>(k)];
    }
    for (double& v : u) v = v / sum - 1.0 / lambda;
    return u;
}

std::vector<int32_t> rank_order(const std::vector<LossRow>& losses, std::size_t first) {
    std::vector<int32_t> order(losses.size() - first);
    std::iota(order.begin(), order.end(), static_cast<int32_t>(first));
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return ranks_before(primary_loss(losses[static_cast<std::size_t>(a)]),
                            primary_loss(losses[static_cast<std::size_t>(b)]));
    });
    return order;
}

GammaSearch::GammaSearch(const Network& start, int32_t pop_size, const GammaSettings& settings)
    : settings_(settings), pop_size_(pop_size) {
    if (pop_size < 1 || !gamma_settings_error(settings).empty()) {
        throw std::invalid_argument("GammaSearch: unchecked arguments");
    }
    const bool mean_member = settings.score_mean && pop_size >= 3;
    first_sample_ = mean_member ? 1 : 0;
    lambda_ = pop_size - static_cast<int32_t>(first_sample_);
    start_ = start;
    if (settings.hidden >= 0) {
        for (int32_t i = start_.inputs; i < start_.size - start_.outputs; ++i) {
            start_.activations[static_cast<std::size_t>(i)] = settings.hidden;
        }
    }
    shape_ = start_;
    map_ = parameter_map(start_);
    read_parameters(start_, map_, mean_);
    if (settings.init == 1) std::fill(mean_.begin(), mean_.end(), 0.0);
    if (settings.init == 2) {
        for (std::size_t j = 0; j < mean_.size(); ++j) mean_[j] *= settings.init_scale;
    }
    const std::size_t n = mean_.size();
    diag_.assign(n, 1.0);
    scale_.assign(n, settings.sigma);
    sigma_ = settings.sigma;
    path_sigma_.assign(n, 0.0);
    path_c_.assign(n, 0.0);
    members_.resize(static_cast<std::size_t>(pop_size));
    const uint64_t seed = (static_cast<uint64_t>(device_value()) << 32) | device_value();
    sample(seed);
}

void GammaSearch::sample(uint64_t seed) {
    const std::size_t n = mean_.size();
    const auto lambda = static_cast<std::size_t>(lambda_);
    noise_.resize(lambda * n);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Network& m = members_[i];
        copy_into(m, shape_);
        RandomEngine engine = derived_engine(seed, i);
        if (i < first_sample_) {
            write_parameters(m, map_, mean_.data());
        } else {
            const std::size_t k = i - first_sample_;
            double* z = noise_.data() + k * n;
            if (settings_.mirrored && k % 2 == 1) {
                const double* pair = z - n;
                for (std::size_t j = 0; j < n; ++j) z[j] = -pair[j];
            } else {
                for (std::size_t j = 0; j < n; j += 2) {
                    const auto [a, b] = polar_step(engine);
                    z[j] = a;
                    if (j + 1 < n) z[j + 1] = b;
                }
            }
            for (std::size_t j = 0; j < n; ++j) x[j] = mean_[j] + scale_[j] * z[j];
            write_parameters(m, map_, x.data());
        }
        m.rng = engine;
    }
}

void GammaSearch::update() {
    const std::size_t n = mean_.size();
    const auto dn = static_cast<double>(n);
    if (n == 0) return;
    const std::vector<int32_t> order = rank_order(losses_, first_sample_);
    auto z_of = [&](int32_t member) {
        return noise_.data() + static_cast<std::size_t>(member) * n - first_sample_ * n;
    };
    ++generation_;
    if (settings_.mode == 0) {
        const std::vector<double> u = nes_utilities(lambda_);
        const double eta_s = (3.0 + std::log(dn)) / (5.0 * std::sqrt(dn));
        std::vector<double> gm(n, 0.0), gs(n, 0.0);
        for (std::size_t r = 0; r < order.size(); ++r) {
            const double* z = z_of(order[r]);
            for (std::size_t j = 0; j < n; ++j) {
                gm[j] += u[r] * z[j];
                gs[j] += u[r] * (z[j] * z[j] - 1.0);
            }
        }
        for (std::size_t j = 0; j < n; ++j) {
            mean_[j] += scale_[j] * gm[j];
            scale_[j] = std::clamp(scale_[j] * std::exp(0.5 * eta_s * gs[j]), gamma_min_scale,
                                   gamma_max_scale);
        }
        return;
    }
    // Separable CMA-ES (Ros and Hansen, 2008).
    const std::vector<double> w = recombination_weights(lambda_);
    double w2 = 0.0;
    for (const double v : w) w2 += v * v;
    const double mu_eff = 1.0 / w2;
    const double c_sigma = (mu_eff + 2.0) / (dn + mu_eff + 5.0);
    const double d_sigma =
        1.0 + 2.0 * std::max(0.0, std::sqrt((mu_eff - 1.0) / (dn + 1.0)) - 1.0) + c_sigma;
    const double c_c = (4.0 + mu_eff / dn) / (dn + 4.0 + 2.0 * mu_eff / dn);
    const double separable = (dn + 2.0) / 3.0;
    const double c_1 = std::min(1.0, separable * 2.0 / ((dn + 1.3) * (dn + 1.3) + mu_eff));
    const double c_mu = std::min(1.0 - c_1, separable * 2.0 * (mu_eff - 2.0 + 1.0 / mu_eff) /
                                                ((dn + 2.0) * (dn + 2.0) + mu_eff));
    const double chi = std::sqrt(dn) * (1.0 - 1.0 / (4.0 * dn) + 1.0 / (21.0 * dn * dn));

    std::vector<double> zw(n, 0.0), yw2(n, 0.0);
    for (std::size_t r = 0; r < w.size() && r < order.size(); ++r) {
        const double* z = z_of(order[r]);
        for (std::size_t j = 0; j < n; ++j) {
            zw[j] += w[r] * z[j];
            const double y = diag_[j] * z[j];
            yw2[j] += w[r] * y * y;
        }
    }
    double norm = 0.0;
    const double ks = std::sqrt(c_sigma * (2.0 - c_sigma) * mu_eff);
    for (std::size_t j = 0; j < n; ++j) {
        mean_[j] += sigma_ * diag_[j] * zw[j];
        path_sigma_[j] = (1.0 - c_sigma) * path_sigma_[j] + ks * zw[j];
        norm += path_sigma_[j] * path_sigma_[j];
    }
    norm = std::sqrt(norm);
    const double decay = 1.0 - std::pow(1.0 - c_sigma, 2.0 * static_cast<double>(generation_));
    const bool h_sigma = norm / std::sqrt(std::max(decay, 1e-300)) < (1.4 + 2.0 / (dn + 1.0)) * chi;
    const double kc = h_sigma ? std::sqrt(c_c * (2.0 - c_c) * mu_eff) : 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        path_c_[j] = (1.0 - c_c) * path_c_[j] + kc * diag_[j] * zw[j];
        double c = diag_[j] * diag_[j];
        c = (1.0 - c_1 - c_mu) * c +
            c_1 * (path_c_[j] * path_c_[j] + (h_sigma ? 0.0 : c_c * (2.0 - c_c) * c)) +
            c_mu * yw2[j];
        diag_[j] = std::sqrt(std::max(c, 0.0));
    }
    sigma_ *= std::exp(std::min(1.0, (c_sigma / d_sigma) * (norm / chi - 1.0)));
    sigma_ = std::clamp(sigma_, gamma_min_scale, gamma_max_scale);
    for (std::size_t j = 0; j < n; ++j) {
        scale_[j] = std::clamp(sigma_ * diag_[j], gamma_min_scale, gamma_max_scale);
    }
}

void GammaSearch::restart() {
    const std::size_t n = mean_.size();
    read_parameters(start_, map_, mean_);
    const uint64_t seed = (static_cast<uint64_t>(device_value()) << 32) | device_value();
    RandomEngine engine = derived_engine(seed, std::numeric_limits<uint64_t>::max());
    for (std::size_t j = 0; j < n; ++j) mean_[j] = settings_.sigma * polar_step(engine).first;
    if (settings_.init == 1) std::fill(mean_.begin(), mean_.end(), 0.0);
    if (settings_.init == 2) {
        for (std::size_t j = 0; j < mean_.size(); ++j)
            mean_[j] *= settings_.init_scale / settings_.sigma;
    }
    if (settings_.redraw) {
        for (int32_t i = shape_.inputs; i < shape_.size; ++i) {
            const bool hidden = i < shape_.size - shape_.outputs;
            shape_.activations[static_cast<std::size_t>(i)] =
                hidden && settings_.hidden >= 0
                    ? settings_.hidden
                    : static_cast<int32_t>(canonical_uniform(engine) * activation_count);
        }
    }
    diag_.assign(n, 1.0);
    sigma_ = settings_.sigma;
    scale_.assign(n, sigma_);
    path_sigma_.assign(n, 0.0);
    path_c_.assign(n, 0.0);
    generation_ = 0;
    have_best_ = false;
}

bool GammaSearch::run_generation(const PoolScorer& score) {
    if (scored_) {
        update();
        if (settings_.restarts) {
            const double best =
                primary_loss(losses_[static_cast<std::size_t>(rank_order(losses_, 0).front())]);
            if (!have_best_ || ranks_before(best, best_ever_ - 1e-12 * std::fabs(best_ever_))) {
                best_ever_ = best;
                best_generation_ = generation_;
                have_best_ = true;
            }
            const double n = static_cast<double>(mean_.size());
            const int64_t patience = settings_.patience + static_cast<int64_t>(30.0 * n / lambda_);
            if (generation_ - best_generation_ > patience) restart();
        }
        const uint64_t seed = (static_cast<uint64_t>(device_value()) << 32) | device_value();
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

}  // namespace tessavo
