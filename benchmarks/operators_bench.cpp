// Cost of the evolution operators on a population of 100 networks of 20
// nodes, and of one fresh draw. Build with -DTESSAVO_BENCHMARKS=ON.
#include <algorithm>
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

// Median of `rounds` timings of `run`, in microseconds.
template <class Run>
double median_time(int rounds, Run run) {
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) times.push_back(run());
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

template <class Draw>
double per_draw(Draw draw) {
    const int count = 100000;
    return median_time(5, [&] {
        volatile double sink = 0.0;
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) sink = sink + draw();
        return microseconds_since(start) / count;
    });
}

// Random-device values read by one call of `run`.
template <class Run>
long device_reads(Run run) {
    long reads = 0;
    std::mt19937 values(1);
    set_device_source([&] {
        ++reads;
        return static_cast<uint32_t>(values());
    });
    run();
    set_device_source({});
    return reads;
}

}  // namespace

int main() {
    std::vector<Network> parents;
    for (int i = 0; i < 100; ++i) {
        Network network(4, 2, false);
        resize(network, 20);
        randomize_dense(network);
        parents.push_back(network);
    }
    const std::vector<double> scores(parents.size(), 0.0);
    std::printf("100 networks of 20 nodes (4 inputs, 2 outputs), %zu connections each\n\n",
                connection_count(parents[0]));

    const double mutate = median_time(51, [&] {
        std::vector<Network> networks = parents;
        const auto start = Clock::now();
        mutate_population(networks);
        return microseconds_since(start);
    });
    const double cross = median_time(51, [&] {
        const auto start = Clock::now();
        const std::vector<Network> children = crossover_population(parents, scores);
        return microseconds_since(start);
    });
    std::printf("%-46s %9.0f us  (median of 51)\n", "mutate_population", mutate);
    std::printf("%-46s %9.0f us  (median of 51)\n\n", "crossover_population (100 -> 200)", cross);

    long mutate_reads = 0, cross_reads = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<Network> networks = parents;
        mutate_reads += device_reads([&] { mutate_population(networks); });
        cross_reads += device_reads([&] { crossover_population(parents, scores); });
    }
    std::printf("random-device reads per call: mutate_population %ld, crossover_population %ld\n\n",
                mutate_reads / 20, cross_reads / 20);

    FreshDraws uniforms(5 * 100000), normals(5 * 100000);
    std::printf("cost of one draw, median of 5 x 100000:\n");
    std::printf("  %-44s %7.3f us\n", "fresh_uniform (lazy engine)",
                per_draw([] { return fresh_uniform(0.0, 1.0); }));
    std::printf("  %-44s %7.3f us\n", "fresh_normal (lazy engine)",
                per_draw([] { return fresh_normal(0.0, 1.0); }));
    std::printf("  %-44s %7.3f us\n", "FreshDraws::uniform (batches of 8)",
                per_draw([&] { return uniforms.uniform(0.0, 1.0); }));
    std::printf("  %-44s %7.3f us\n", "FreshDraws::normal (batches of 8)",
                per_draw([&] { return normals.normal(0.0, 1.0); }));
    std::printf("  %-44s %7.3f us\n", "uniform from a full std::mt19937", per_draw([] {
                    std::mt19937 engine(device_value());
                    return canonical_uniform(engine);
                }));
    std::printf("  %-44s %7.3f us\n", "normal from a full std::mt19937", per_draw([] {
                    std::mt19937 engine(device_value());
                    return polar_step(engine).first;
                }));
    std::printf("  %-44s %7.3f us\n", "random-device value alone",
                per_draw([] { return static_cast<double>(device_value()); }));
    return 0;
}
