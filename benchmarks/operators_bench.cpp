// Cost of the evolution operators on a population of 100 networks of 20
// nodes, and of one fresh engine draw. Build with -DTESSAVO_BENCHMARKS=ON.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "evolution/crossover.hpp"
#include "evolution/fresh_engine.hpp"
#include "evolution/mutation.hpp"
#include "evolution/random.hpp"
#include "network/network.hpp"

using namespace tessavo;

namespace {

using Clock = std::chrono::steady_clock;

double microseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::vector<Network> population(int count) {
    std::vector<Network> networks;
    for (int i = 0; i < count; ++i) {
        Network network(4, 2, false);
        resize(network, 20);
        randomize_dense(network);
        networks.push_back(network);
    }
    return networks;
}

template <class Draw>
void time_draws(const char* label, Draw draw) {
    const int count = 200000;
    volatile double sink = 0.0;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) sink = sink + draw();
    std::printf("%-44s %8.3f us\n", label, microseconds_since(start) / count);
}

}  // namespace

int main() {
    const int rounds = 50;
    const std::vector<Network> parents = population(100);
    const std::vector<double> scores(parents.size(), 0.0);
    std::printf("100 networks of 20 nodes, %zu connections each\n", connection_count(parents[0]));

    double mutate_total = 0.0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<Network> networks = parents;
        const auto start = Clock::now();
        mutate_population(networks);
        mutate_total += microseconds_since(start);
    }
    std::printf("%-44s %8.1f us\n", "mutate_population (100 networks)", mutate_total / rounds);

    double crossover_total = 0.0;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        const std::vector<Network> children = crossover_population(parents, scores);
        crossover_total += microseconds_since(start);
    }
    std::printf("%-44s %8.1f us\n", "crossover_population (100 -> 200 networks)",
                crossover_total / rounds);

    time_draws("fresh_uniform (lazy engine)", [] { return fresh_uniform(0.0, 1.0); });
    time_draws("fresh_normal (lazy engine)", [] { return fresh_normal(0.0, 1.0); });
    {
        FreshDraws run(200000);
        time_draws("uniform from FreshDraws (batched)", [&] { return run.uniform(0.0, 1.0); });
    }
    {
        FreshDraws run(200000);
        time_draws("normal from FreshDraws (batched)", [&] { return run.normal(0.0, 1.0); });
    }
    time_draws("uniform on a full std::mt19937 per draw", [] {
        std::mt19937 engine(device_value());
        return canonical_uniform(engine);
    });
    time_draws("normal on a full std::mt19937 per draw", [] {
        std::mt19937 engine(device_value());
        return polar_step(engine).first;
    });
    time_draws("device value alone", [] { return static_cast<double>(device_value()); });
    return 0;
}
