#include "training/beta.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "evolution/crossover.hpp"
#include "evolution/structural.hpp"
#include "random/sources.hpp"
#include "training/workers.hpp"

namespace tessavo {

namespace {

// Self-adaptation of the step size: each child scales its parent's step by
// exp(tau N(0, 1)), so steps that pay are inherited with their networks.
constexpr double step_tau = 0.15;
constexpr double min_step = 1e-4;
constexpr double max_step = 1e3;
// A chosen parameter is redrawn from N(0, 1) instead of moved this often.
constexpr double replace_rate = 0.05;
constexpr double crossover_rate = 0.2;
constexpr double activation_rate = 0.05;
// The first population tries other activations this often per node: the
// start's may not suit the task at all.
constexpr double initial_activation_rate = 0.5;
// The best this share of a species (at least one) may parent its children.
constexpr double parent_share = 0.2;
// Weight of a node or link count difference in the distance. Kept small so
// that a grown child stays in its parent's species: a species per new shape
// splits the population into groups too small to select within.
constexpr double structure_weight = 0.1;
// A species that has not improved for this many generations gets no
// children, unless it holds the best network.
constexpr int32_t stagnation_limit = 15;
// Below this many node pairs over the population, one thread breeds faster
// than waking the others costs.
constexpr double beta_breeding_threshold = 2.0e5;

double uniform(RandomEngine& engine) { return canonical_uniform(engine); }

double normal(RandomEngine& engine) { return polar_step(engine).first; }

// Uniform in 0 .. n-1 (n >= 1).
int32_t below(RandomEngine& engine, int32_t n) {
    return std::min(n - 1, static_cast<int32_t>(uniform(engine) * n));
}

// Lower is better; NaN ranks last.
bool better(double a, double b) {
    if (std::isnan(b)) return !std::isnan(a);
    return a < b;
}

int32_t lowest_receiver(const Network& n, int32_t from) {
    return n.recurrent ? n.inputs : std::max(n.inputs, from + 1);
}

// Every allowed link not yet set, as (from, to).
void absent_links(const Network& n, std::vector<std::pair<int32_t, int32_t>>& out) {
    out.clear();
    for (int32_t from = 0; from < n.size - n.outputs; ++from) {
        for (int32_t to = lowest_receiver(n, from); to < n.size; ++to) {
            if (!has_link(n, from, to)) out.emplace_back(from, to);
        }
    }
}

void present_links(const Network& n, std::vector<std::pair<int32_t, int32_t>>& out) {
    out.clear();
    for (int32_t to = 0; to < n.size; ++to) {
        for (int32_t from = 0; from < n.size; ++from) {
            if (has_link(n, from, to)) out.emplace_back(from, to);
        }
    }
}

// Adds a random node or link from engine draws alone. False when nothing
// could be added.
bool grow(Network& n, RandomEngine& engine, double step) {
    thread_local std::vector<std::pair<int32_t, int32_t>> candidates;
    if (uniform(engine) < 0.5) {
        present_links(n, candidates);
        if (!candidates.empty()) {
            const auto [from, to] = candidates[static_cast<std::size_t>(
                below(engine, static_cast<int32_t>(candidates.size())))];
            const double old = weight(n, from, to);
            const int32_t g = std::max(from + 1, n.inputs);
            const int32_t target = to >= g ? to + 1 : to;
            insert_node(n, from, to, 0.0, below(engine, activation_count));
            // The split link's signal passes on roughly as before: in at 1,
            // out at the old weight.
            set_weight(n, from, g, 1.0);
            set_weight(n, g, target, old);
            return true;
        }
    }
    absent_links(n, candidates);
    if (candidates.empty()) return false;
    const auto [from, to] = candidates[static_cast<std::size_t>(
        below(engine, static_cast<int32_t>(candidates.size())))];
    set_link(n, from, to, step * normal(engine));
    return true;
}

}  // namespace

void beta_perturb(Network& n, RandomEngine& engine, double rate, double step) {
    thread_local std::vector<double*> targets;
    targets.clear();
    for (int32_t i = n.inputs; i < n.size; ++i) targets.push_back(&n.biases[i]);
    const std::size_t cells = n.links.size();
    for (std::size_t at = 0; at < cells; ++at) {
        if (n.links[at] != 0) targets.push_back(&n.weights[at]);
    }
    if (targets.empty()) return;
    // Both variates of each polar step are used.
    bool have_spare = false;
    double spare = 0.0;
    auto next_normal = [&]() {
        if (have_spare) {
            have_spare = false;
            return spare;
        }
        const auto [first, second] = polar_step(engine);
        spare = second;
        have_spare = true;
        return first;
    };
    auto move = [&](double* value) {
        if (uniform(engine) < replace_rate) {
            *value = next_normal();
        } else {
            *value += step * next_normal();
        }
    };
    // One 32-bit output per parameter decides whether it moves.
    const bool every = rate >= 1.0;
    const auto cut = static_cast<uint32_t>(every ? 0.0 : rate * 4294967296.0);
    bool moved = false;
    for (double* value : targets) {
        if (every || engine() < cut) {
            move(value);
            moved = true;
        }
    }
    if (!moved)
        move(
            targets[static_cast<std::size_t>(below(engine, static_cast<int32_t>(targets.size())))]);
}

namespace {

// Genes aligned by index when both parents have one shape: each shared
// parameter comes from either parent; else the child is the first parent.
void cross(Network& child, const Network& other, RandomEngine& engine) {
    if (child.size != other.size) return;
    for (int32_t i = child.inputs; i < child.size; ++i) {
        if (uniform(engine) < 0.5) child.biases[i] = other.biases[i];
    }
    const std::size_t cells = child.links.size();
    for (std::size_t at = 0; at < cells; ++at) {
        if (child.links[at] != 0 && other.links[at] != 0 && uniform(engine) < 0.5) {
            child.weights[at] = other.weights[at];
        }
    }
}

}  // namespace

std::vector<int32_t> apportion(const std::vector<double>& shares, double total, int32_t count) {
    // Largest remainders turn shares into whole numbers of children.
    std::vector<int32_t> out(shares.size(), 0);
    int32_t given = 0;
    std::vector<std::pair<double, std::size_t>> remainders;
    for (std::size_t k = 0; k < shares.size(); ++k) {
        const double exact = total > 0.0 ? shares[k] / total * count : 0.0;
        out[k] = static_cast<int32_t>(std::floor(exact));
        given += out[k];
        remainders.emplace_back(exact - std::floor(exact), k);
    }
    std::stable_sort(remainders.begin(), remainders.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t r = 0; given < count && !remainders.empty(); r = (r + 1) % remainders.size()) {
        ++out[remainders[r].second];
        ++given;
    }
    return out;
}

double adapt_step(double step, RandomEngine& engine) {
    return std::clamp(step * std::exp(step_tau * normal(engine)), min_step, max_step);
}

std::string beta_settings_error(const BetaSettings& s) {
    auto rate_ok = [](double r) { return std::isfinite(r) && r >= 0.0 && r <= 1.0; };
    if (!(std::isfinite(s.mutation_power) && s.mutation_power > 0.0)) {
        return "mutation_power must be a finite number above 0";
    }
    if (!rate_ok(s.mutation_rate)) return "mutation_rate must be between 0 and 1";
    if (!rate_ok(s.structure_rate)) return "structure_rate must be between 0 and 1";
    if (s.species < 1) return "species must be at least 1";
    if (s.elitism < 0) return "elitism must not be negative";
    return {};
}

double compatibility_distance(const Network& a, const Network& b) {
    if (a.size != b.size) {
        const auto links_a = static_cast<double>(connection_count(a));
        const auto links_b = static_cast<double>(connection_count(b));
        return structure_weight * (2.0 * std::fabs(static_cast<double>(a.size - b.size)) +
                                   std::fabs(links_a - links_b));
    }
    double mismatched = 0.0, difference = 0.0, shared = 0.0;
    const std::size_t cells = a.links.size();
    for (std::size_t at = 0; at < cells; ++at) {
        const bool in_a = a.links[at] != 0;
        const bool in_b = b.links[at] != 0;
        if (in_a && in_b) {
            difference += std::fabs(a.weights[at] - b.weights[at]);
            shared += 1.0;
        } else if (in_a || in_b) {
            mismatched += 1.0;
        }
    }
    for (int32_t i = a.inputs; i < a.size; ++i) {
        difference += std::fabs(a.biases[i] - b.biases[i]);
        mismatched += a.activations[i] != b.activations[i] ? 1.0 : 0.0;
        shared += 1.0;
    }
    return mismatched + 0.4 * (shared > 0.0 ? difference / shared : 0.0);
}

BetaSearch::BetaSearch(const Network& start, int32_t pop_size, const BetaSettings& settings)
    : settings_(settings), pop_size_(pop_size) {
    if (pop_size < 1 || !beta_settings_error(settings).empty()) {
        throw std::invalid_argument("BetaSearch: unchecked arguments");
    }
    const auto count = static_cast<std::size_t>(pop_size);
    members_.resize(count);
    steps_.assign(count, settings.mutation_power);
    const uint64_t seed = (static_cast<uint64_t>(device_value()) << 32) | device_value();
    for (std::size_t i = 0; i < count; ++i) {
        copy_into(members_[i], start);
        RandomEngine engine = derived_engine(seed, i);
        if (i > 0) {
            // Spread the first population around the start, every parameter moved.
            beta_perturb(members_[i], engine, 1.0, settings.mutation_power);
            const int32_t spread_end = settings.keep_output_activations
                                           ? members_[i].size - members_[i].outputs
                                           : members_[i].size;
            for (int32_t k = members_[i].inputs; k < spread_end; ++k) {
                if (uniform(engine) < initial_activation_rate) {
                    members_[i].activations[k] = below(engine, activation_count);
                }
            }
        }
        members_[i].rng = engine;
    }
}

bool BetaSearch::run_generation(const PoolScorer& score) {
    if (scored_) {
        speciate();
        const uint64_t seed = (static_cast<uint64_t>(device_value()) << 32) | device_value();
        RandomEngine planner = derived_engine(seed, std::numeric_limits<uint64_t>::max());
        const std::vector<Plan> plans = plan_children(planner);
        const auto count = static_cast<std::size_t>(pop_size_);
        next_.resize(count);
        next_steps_.resize(count);
        auto work = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) breed(plans[i], i, seed);
        };
        const double n = members_.front().size;
        if (static_cast<double>(count) * n * n < beta_breeding_threshold) {
            work(0, count);
        } else {
            const auto threads = static_cast<std::size_t>(worker_threads());
            parallel_chunks(count, std::max<std::size_t>(1, count / (8 * threads)), work);
        }
        members_.swap(next_);
        steps_.swap(next_steps_);
    }
    std::vector<LossRow> rows;
    if (!score(members_, rows)) return false;
    if (rows.size() < members_.size()) {
        throw std::logic_error("BetaSearch: fewer loss rows than pool members");
    }
    rows.resize(members_.size());
    losses_ = std::move(rows);
    scored_ = true;
    return true;
}

void BetaSearch::write_state(StateWriter& out) const {
    out.str("Beta");
    out.u8(scored_ ? 1 : 0);
    out.f64(threshold_);
    out.u64(members_.size());
    for (const Network& member : members_) put_network(out, member);
    put_rows(out, losses_);
    out.f64s(steps_);
    out.u64(species_.size());
    for (const Species& s : species_) {
        put_network(out, s.representative);
        out.f64(s.best);
        out.i32(s.stagnant);
        out.u8(s.improved ? 1 : 0);
        out.i32s(s.members);
        out.f64(s.share);
        out.i32(s.offspring);
    }
    out.i32s(origins_);
}

void BetaSearch::read_state(StateReader& in) {
    expect_optimizer(in, "Beta");
    const Network& shape = members_.front();
    const bool scored = in.flag();
    const double threshold = in.f64();
    const uint64_t count = in.u64();
    if (count != static_cast<uint64_t>(pop_size_)) in.bad("holds another number of members");
    std::vector<Network> members;
    for (uint64_t k = 0; k < count; ++k) members.push_back(get_member(in, shape));
    std::vector<LossRow> losses = get_rows(in);
    std::vector<double> steps = in.f64s();
    if ((scored ? losses.size() != count : !losses.empty()) || steps.size() != count) {
        in.bad("holds a loss row and a step size per member");
    }
    const uint64_t species_count = in.count(1);
    std::vector<Species> species(species_count);
    auto index_ok = [&](int32_t i) { return i >= -1 && static_cast<int64_t>(i) < pop_size_; };
    for (Species& s : species) {
        s.representative = get_member(in, shape);
        s.best = in.f64();
        s.stagnant = in.i32();
        s.improved = in.flag();
        s.members = in.i32s();
        s.share = in.f64();
        s.offspring = in.i32();
        for (const int32_t m : s.members) {
            if (m < 0 || !index_ok(m)) in.bad("holds a species member outside the population");
        }
    }
    std::vector<int32_t> origins = in.i32s();
    if (!origins.empty() && origins.size() != count) in.bad("holds an origin per member");
    for (const int32_t o : origins) {
        if (o < -1 || (o >= 0 && static_cast<uint64_t>(o) >= species_count)) {
            in.bad("holds an origin outside the species");
        }
    }
    if (!(threshold > 0.0)) in.bad("holds a threshold that is not positive");
    in.finish();
    scored_ = scored;
    threshold_ = threshold;
    members_ = std::move(members);
    losses_ = std::move(losses);
    steps_ = std::move(steps);
    species_ = std::move(species);
    origins_ = std::move(origins);
}

OptimizerFactory beta_optimizer(const BetaSettings& settings) {
    return [settings](const Network& start, int32_t pop_size, std::size_t) {
        return std::make_unique<BetaSearch>(start, pop_size, settings);
    };
}

void BetaSearch::speciate() {
    const auto count = static_cast<int32_t>(members_.size());
    const auto wanted =
        static_cast<std::size_t>(std::min(settings_.species, std::max(1, pop_size_ / 4)));
    // Beyond twice the wanted number a network joins its nearest species
    // instead: the work stays O(population x species x network size) and
    // species keep members to breed from while the threshold settles.
    const std::size_t most = 2 * wanted;
    for (Species& s : species_) s.members.clear();
    for (int32_t i = 0; i < count; ++i) {
        Species* home = nullptr;
        Species* nearest = nullptr;
        double nearest_distance = std::numeric_limits<double>::infinity();
        // A child is tried against its parent's species first: it usually
        // stays there, and one distance is then enough.
        const int32_t origin = origins_.empty() ? -1 : origins_[static_cast<std::size_t>(i)];
        if (origin >= 0 && static_cast<std::size_t>(origin) < species_.size() &&
            compatibility_distance(members_[i],
                                   species_[static_cast<std::size_t>(origin)].representative) <
                threshold_) {
            home = &species_[static_cast<std::size_t>(origin)];
        }
        for (std::size_t k = 0; !home && k < species_.size(); ++k) {
            Species& s = species_[k];
            if (static_cast<int32_t>(k) == origin) continue;
            const double distance = compatibility_distance(members_[i], s.representative);
            if (distance < threshold_) {
                home = &s;
                break;
            }
            if (distance < nearest_distance) {
                nearest_distance = distance;
                nearest = &s;
            }
        }
        if (!home && nearest && species_.size() >= most) home = nearest;
        if (!home) {
            species_.emplace_back();
            home = &species_.back();
            copy_into(home->representative, members_[i]);
            home->best = std::numeric_limits<double>::quiet_NaN();
        }
        home->members.push_back(i);
    }
    std::erase_if(species_, [](const Species& s) { return s.members.empty(); });
    for (Species& s : species_) {
        std::stable_sort(s.members.begin(), s.members.end(), [&](int32_t a, int32_t b) {
            return better(primary_loss(losses_[a]), primary_loss(losses_[b]));
        });
        const double champion = primary_loss(losses_[s.members.front()]);
        s.improved = better(champion, s.best);
        if (s.improved) {
            s.best = champion;
            s.stagnant = 0;
        } else {
            ++s.stagnant;
        }
        // The champion stands for the species next time.
        copy_into(s.representative, members_[s.members.front()]);
    }
    // Steer the threshold towards the wanted number of species.
    if (species_.size() < wanted) {
        threshold_ = std::max(0.1, threshold_ * 0.9);
    } else if (species_.size() > wanted) {
        threshold_ *= 1.1;
    }
}

std::vector<BetaSearch::Plan> BetaSearch::plan_children(RandomEngine& engine) {
    const auto count = static_cast<int32_t>(members_.size());
    // Fitness by rank, shared within a species: a species' claim on the next
    // generation is the mean rank fitness of its members.
    std::vector<int32_t> order(static_cast<std::size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return better(primary_loss(losses_[a]), primary_loss(losses_[b]));
    });
    std::vector<double> fitness(static_cast<std::size_t>(count));
    for (int32_t r = 0; r < count; ++r) {
        fitness[static_cast<std::size_t>(order[r])] =
            static_cast<double>(count - r) / static_cast<double>(count);
    }
    const int32_t best = order.front();
    double total = 0.0;
    for (Species& s : species_) {
        const bool holds_best =
            std::find(s.members.begin(), s.members.end(), best) != s.members.end();
        double sum = 0.0;
        for (const int32_t m : s.members) sum += fitness[static_cast<std::size_t>(m)];
        s.share = (s.stagnant > stagnation_limit && !holds_best)
                      ? 0.0
                      : sum / static_cast<double>(s.members.size());
        total += s.share;
    }
    std::vector<double> shares;
    for (const Species& s : species_) shares.push_back(s.share);
    const std::vector<int32_t> offspring = apportion(shares, total, count);
    for (std::size_t k = 0; k < species_.size(); ++k) species_[k].offspring = offspring[k];

    std::vector<Plan> plans;
    plans.reserve(static_cast<std::size_t>(count));
    origins_.clear();
    for (std::size_t k = 0; k < species_.size(); ++k) {
        const Species& s = species_[k];
        if (s.offspring == 0) continue;
        origins_.resize(origins_.size() + static_cast<std::size_t>(s.offspring),
                        static_cast<int32_t>(k));
        const auto size = static_cast<int32_t>(s.members.size());
        // A lone network in a one-member population must still change.
        const int32_t elites = count == 1 ? 0 : std::min({settings_.elitism, size, s.offspring});
        for (int32_t e = 0; e < elites; ++e) plans.push_back({s.members[e], -1, true});
        const int32_t parents =
            std::max(1, static_cast<int32_t>(std::ceil(parent_share * static_cast<double>(size))));
        for (int32_t c = elites; c < s.offspring; ++c) {
            Plan plan{s.members[below(engine, parents)], -1, false};
            if (parents > 1 && uniform(engine) < crossover_rate) {
                plan.other = s.members[below(engine, parents)];
            }
            plans.push_back(plan);
        }
    }
    // The best network survives even when its species gets no elite.
    if (count > 1 && std::none_of(plans.begin(), plans.end(),
                                  [&](const Plan& p) { return p.elite && p.parent == best; })) {
        plans.back() = {best, -1, true};
        origins_.back() = -1;
    }
    return plans;
}

void BetaSearch::breed(const Plan& plan, std::size_t index, uint64_t seed) {
    Network& child = next_[index];
    const Network& parent = members_[static_cast<std::size_t>(plan.parent)];
    copy_into(child, parent);
    RandomEngine engine = derived_engine(seed, index);
    double step = steps_[static_cast<std::size_t>(plan.parent)];
    if (!plan.elite) {
        if (plan.other >= 0) {
            const auto other = static_cast<std::size_t>(plan.other);
            cross(child, members_[other], engine);
            step = std::sqrt(step * steps_[other]);
        }
        step = adapt_step(step, engine);
        if (uniform(engine) < settings_.structure_rate) {
            const bool was_valid = is_valid(child);
            if (grow(child, engine, step) && was_valid && !is_valid(child)) {
                // Never hand on a broken network: back to the parent's shape.
                copy_into(child, parent);
            }
        }
        const int32_t mutable_end =
            settings_.keep_output_activations ? child.size - child.outputs : child.size;
        if (uniform(engine) < activation_rate && mutable_end > child.inputs) {
            child.activations[static_cast<std::size_t>(child.inputs +
                                                       below(engine, mutable_end - child.inputs))] =
                below(engine, activation_count);
        }
        beta_perturb(child, engine, settings_.mutation_rate, step);
    }
    child.rng = engine;
    next_steps_[index] = step;
}

}  // namespace tessavo
