#include "training/alpha.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "evolution/crossover.hpp"
#include "evolution/failure.hpp"
#include "evolution/mutation.hpp"
#include "evolution/random.hpp"
#include "progress/console.hpp"
#include "training/breeding.hpp"
#include "training/workers.hpp"

namespace tessavo {

std::vector<Network> seed_population(const Network& network, int32_t count) {
    std::vector<Network> population(static_cast<std::size_t>(count));
    // Members bred on the pool like children: each from an engine of its own.
    const uint64_t seed = generation_seed();
    std::vector<const char*> failure(population.size(), nullptr);
    const double nodes = network.size;
    breed_in_parallel(population.size(), seed, static_cast<double>(count) * nodes * nodes,
                      [&](std::size_t i, RandomEngine&) {
                          clone_into(population[i], network);
                          if (i > 0) failure[i] = mutate_quietly(population[i]);
                      });
    for (const char* line : failure) {
        if (line != nullptr) report_broken_network(line);
    }
    return population;
}

std::vector<Network> build_pool(std::vector<Network>&& parents, std::vector<Network>&& children) {
    if (children.size() < parents.size()) {
        throw std::logic_error("build_pool: fewer children than parents");
    }
    const std::size_t count = parents.size();
    std::vector<Network> pool;
    pool.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        pool.push_back(std::move(parents[i]));
        pool.push_back(std::move(children[i]));
    }
    parents.clear();
    children.erase(children.begin(), children.begin() + static_cast<std::ptrdiff_t>(count));
    return pool;
}

namespace {

// Tournaments over the primary losses, read once into one flat run rather
// than through a row per place.
std::vector<int32_t> winners_by_primary(const std::vector<double>& primary,
                                        const std::vector<int32_t>& places, int32_t count) {
    std::vector<int32_t> winners;
    winners.reserve(static_cast<std::size_t>(count));
    for (int32_t t = 0; t < count; ++t) {
        const std::size_t first = 4 * static_cast<std::size_t>(t);
        int32_t winner = places[first];
        for (std::size_t k = first + 1; k < first + 4; ++k) {
            const int32_t candidate = places[k];
            // Strict and ordered: ties and NaNs keep the earlier candidate.
            if (primary[winner] > primary[candidate]) winner = candidate;
        }
        winners.push_back(winner);
    }
    return winners;
}

std::vector<double> primary_losses(const std::vector<LossRow>& rows) {
    std::vector<double> primary(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) primary[i] = primary_loss(rows[i]);
    return primary;
}

}  // namespace

std::vector<int32_t> tournament_winners(const std::vector<LossRow>& pool_losses,
                                        const std::vector<int32_t>& places, int32_t count) {
    return winners_by_primary(primary_losses(pool_losses), places, count);
}

Population select_survivors(std::vector<Network>&& pool, std::vector<LossRow>&& pool_losses,
                            int32_t count) {
    const std::size_t members = 2 * static_cast<std::size_t>(count);
    if (count < 1 || pool.size() != members || pool_losses.size() < members) {
        throw std::logic_error("select_survivors: pool does not hold 2 * count members");
    }
    std::vector<int32_t> places(4 * static_cast<std::size_t>(count));
    for (std::size_t k = 0; k < places.size(); ++k) {
        places[k] = static_cast<int32_t>(k % members);
    }
    shuffle_indices(places);
    const std::vector<int32_t> winners =
        winners_by_primary(primary_losses(pool_losses), places, count);

    // A winner is moved out at its last win; earlier wins take copies, made
    // in the buffers of members that won nothing. There are always enough of
    // those: count wins over 2 * count members leave count + (members that
    // won twice) without a win.
    std::vector<int32_t> wins_left(members, 0);
    for (const int32_t w : winners) ++wins_left[w];
    Population survivors;
    survivors.spare.reserve(members);
    survivors.spare_rows.reserve(members);
    for (std::size_t i = 0; i < members; ++i) {
        if (wins_left[i] == 0) {
            survivors.spare.push_back(std::move(pool[i]));
            survivors.spare_rows.push_back(std::move(pool_losses[i]));
        }
    }
    // Copies first, on the pool, while every winner is still in place; then
    // the moves.
    survivors.members.resize(winners.size());
    survivors.losses.reserve(winners.size());
    std::vector<std::size_t> copies;
    std::vector<uint8_t> moved(winners.size(), 0);
    for (std::size_t t = 0; t < winners.size(); ++t) {
        const int32_t w = winners[t];
        if (--wins_left[w] == 0) {
            moved[t] = 1;
            survivors.losses.push_back(std::move(pool_losses[w]));
        } else {
            survivors.members[t] = std::move(survivors.spare.back());
            survivors.spare.pop_back();
            copies.push_back(t);
            LossRow row;
            if (!survivors.spare_rows.empty()) {
                row = std::move(survivors.spare_rows.back());
                survivors.spare_rows.pop_back();
            }
            row.assign(pool_losses[w].begin(), pool_losses[w].end());
            survivors.losses.push_back(std::move(row));
        }
    }
    const double nodes = pool.front().size;
    const double work = static_cast<double>(copies.size()) * nodes * nodes;
    const std::size_t chunk = work < 2.0e5 ? copies.size() : 16;
    parallel_chunks(copies.size(), chunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            copy_into(survivors.members[copies[k]], pool[winners[copies[k]]]);
        }
    });
    for (std::size_t t = 0; t < winners.size(); ++t) {
        if (moved[t]) survivors.members[t] = std::move(pool[winners[t]]);
    }
    return survivors;
}

void breed_alpha_children(const std::vector<Network>& parents, const std::vector<double>& scores,
                          std::vector<Network>& children) {
    const std::size_t n = parents.size();
    std::vector<int32_t> order(2 * n);
    for (std::size_t j = 0; j < order.size(); ++j) order[j] = static_cast<int32_t>(j % n);
    shuffle_indices(order);
    const uint64_t seed = generation_seed();
    children.resize(order.size());
    if (n == 0) return;

    // What the threads found, reported here on the calling thread in the
    // serial order: parents, then crossover, then mutation by child index.
    std::vector<uint8_t> parent_broken(n, 0);
    std::vector<uint8_t> pair_broken(n, 0);
    std::vector<const char*> mutation_failure(order.size(), nullptr);
    const double nodes = parents.front().size;
    const double work = 4.0 * static_cast<double>(n) * nodes * nodes;
    breed_in_parallel(n, seed, work / 4.0, [&](std::size_t i, RandomEngine&) {
        parent_broken[i] = !is_valid(parents[i]);
    });
    const bool any_parent_broken =
        std::find(parent_broken.begin(), parent_broken.end(), 1) != parent_broken.end();

    breed_in_parallel(n, seed, work, [&](std::size_t p, RandomEngine&) {
        const int32_t ia = order[2 * p];
        const int32_t ib = order[2 * p + 1];
        const Network& a = parents[ia];
        const Network& b = parents[ib];
        Network& first = children[2 * p];
        Network& second = children[2 * p + 1];
        bool broken;
        if (fresh_uniform(0.0, 1.0) >= 0.5) {
            crossover_into(first, a, b, scores[ia], scores[ib]);
            crossover_into(second, a, b, scores[ia], scores[ib]);
            broken = !is_valid(first) || !is_valid(second);
        } else {
            clone_into(first, a);
            clone_into(second, b);
            // Clones of sound parents are sound.
            broken = any_parent_broken && (!is_valid(first) || !is_valid(second));
        }
        pair_broken[p] = broken;
        // A broken pair ends the generation before any mutation.
        if (broken) return;
        mutation_failure[2 * p] = mutate_quietly(first);
        mutation_failure[2 * p + 1] = mutate_quietly(second);
    });
    if (any_parent_broken) console_write("One of networks already broken.\n");
    if (std::find(pair_broken.begin(), pair_broken.end(), 1) != pair_broken.end()) {
        report_broken_network("Crossover broke network");
    }
    for (const char* line : mutation_failure) {
        if (line != nullptr) report_broken_network(line);
    }
}

bool run_generation(Population& population, const PoolScorer& score) {
    const auto count = static_cast<int32_t>(population.members.size());
    std::vector<double> parent_scores(population.members.size());
    for (std::size_t i = 0; i < parent_scores.size(); ++i) {
        parent_scores[i] = primary_loss(population.losses[i]);
    }
    std::vector<Network> children = std::move(population.spare);
    population.spare.clear();
    // Every child is mutated, even those the pool leaves out.
    breed_alpha_children(population.members, parent_scores, children);
    std::vector<Network> pool = build_pool(std::move(population.members), std::move(children));
    // The parents' rows, read above, and the spare ones serve the pool.
    std::vector<LossRow> rows = std::move(population.spare_rows);
    population.spare_rows.clear();
    for (LossRow& row : population.losses) rows.push_back(std::move(row));
    population.losses.clear();
    if (!score(pool, rows)) return false;
    if (rows.size() < pool.size()) {
        throw std::logic_error("run_generation: fewer loss rows than pool members");
    }
    population = select_survivors(std::move(pool), std::move(rows), count);
    // The children the pool left out are spare too.
    for (Network& left_out : children) population.spare.push_back(std::move(left_out));
    return true;
}

AlphaSearch::AlphaSearch(const Network& start, int32_t pop_size, std::size_t row_width) {
    population_.members = seed_population(start, pop_size);
    population_.losses.assign(static_cast<std::size_t>(pop_size), LossRow(row_width, 0.0));
}

bool AlphaSearch::run_generation(const PoolScorer& score) {
    return tessavo::run_generation(population_, score);
}

void AlphaSearch::write_state(StateWriter&) const {
    throw StateError("Alpha's state cannot be saved yet");
}

void AlphaSearch::read_state(StateReader&) {
    throw StateError("Alpha's state cannot be restored yet");
}

OptimizerFactory alpha_optimizer() {
    return [](const Network& start, int32_t pop_size, std::size_t row_width) {
        return std::make_unique<AlphaSearch>(start, pop_size, row_width);
    };
}

}  // namespace tessavo
