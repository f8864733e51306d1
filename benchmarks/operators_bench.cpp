// Cost of breeding: single draws, one generation of 10,000 networks of 5
// nodes without scoring, and XOR generations with scoring, with the malloc
// calls per scored network once the run is warm. CPU time of the calling
// thread: pin to one core (taskset) with TESSAVO_BENCH_THREADS=1, the default
// here. Build with -DTESSAVO_BENCHMARKS=ON.
//
//     operators_bench            all figures
//     operators_bench xor P G    only G XOR generations at population P
//     operators_bench breed P G  only G generations of breeding at population P
//                                (both for a profiler)
#include <malloc.h>
#include <time.h>

#include <atomic>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "evolution/crossover.hpp"
#include "evolution/mutation.hpp"
#include "evolution/random.hpp"
#include "network/network.hpp"
#include "training/alpha.hpp"
#include "training/population.hpp"
#include "training/workers.hpp"

using namespace tessavo;

// Every malloc, calloc and realloc of the process is counted (operator new
// goes through malloc) and served by glibc's allocator.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
}
namespace {
std::atomic<long> malloc_calls{0};
}  // namespace
extern "C" void* malloc(std::size_t n) {
    malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
    malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n) {
    malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {

double cpu_microseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class Draw>
double nanoseconds_per_draw(Draw draw) {
    const int count = 200000;
    std::vector<double> times;
    for (int round = 0; round < 5; ++round) {
        volatile double sink = 0.0;
        const double start = cpu_microseconds();
        for (int i = 0; i < count; ++i) sink = sink + draw();
        times.push_back((cpu_microseconds() - start) * 1e3 / count);
    }
    return median(times);
}

// A population of count XOR-shaped networks (2 inputs, 1 output, size 5),
// seeded from one network as a run does.
Population xor_population(int32_t count) {
    Network start(2, 1, false);
    resize(start, 5);
    randomize_dense(start);
    Population population;
    population.members = seed_population(start, count);
    population.losses.assign(static_cast<std::size_t>(count), LossRow{0.0});
    return population;
}

const double xor_inputs[] = {0, 0, 0, 1, 1, 0, 1, 1};
const double xor_targets[] = {0, 1, 1, 0};
const SeriesView xor_x = {xor_inputs, 4, 1, 2};
const SeriesView xor_y = {xor_targets, 4, 1, 1};
const std::vector<int32_t> mse = {0};

// One generation of XOR scoring, with what it costs besides.
bool score_xor(std::vector<Network>& pool, std::vector<LossRow>& rows) {
    evaluate_pool_into(pool, xor_x, xor_y, mse, rows);
    return true;
}

// Median CPU microseconds of one XOR generation, over `generations` taken
// as runs of 300 from new networks, as a training run would go.
double xor_generation(int32_t count, int generations) {
    Population population;
    std::vector<double> times;
    for (int g = 0; g < generations; ++g) {
        if (g % 300 == 0) population = xor_population(count);
        const double start = cpu_microseconds();
        run_generation(population, score_xor);
        times.push_back(cpu_microseconds() - start);
    }
    return median(times);
}

// Median CPU milliseconds of a whole generation (breeding and XOR scoring)
// of count networks, and the malloc calls per scored network over the
// generations after the first few.
void whole_generation(int32_t count, int generations) {
    Population population = xor_population(count);
    std::vector<double> times;
    long calls = 0;
    for (int g = 0; g < generations; ++g) {
        const long before = malloc_calls.load();
        const double start = cpu_microseconds();
        run_generation(population, score_xor);
        times.push_back(cpu_microseconds() - start);
        if (g >= 5) calls += malloc_calls.load() - before;
    }
    std::printf("  %.2f ms (median of %d), %.3f malloc calls per scored network\n",
                median(times) / 1e3, generations,
                static_cast<double>(calls) / (2.0 * count * (generations - 5)));
}

// Median CPU microseconds of breeding one generation (crossover, mutation,
// pool and selection): every pool member gets a random loss, and the time
// that takes is left out.
double breeding_generation(int32_t count, int generations) {
    Population population = xor_population(count);
    std::vector<double> times;
    for (int g = 0; g < generations; ++g) {
        double scoring = 0.0;
        const double start = cpu_microseconds();
        run_generation(population, [&](std::vector<Network>& pool, std::vector<LossRow>& rows) {
            const double scoring_start = cpu_microseconds();
            rows.resize(pool.size());
            for (LossRow& row : rows) row.assign(1, fresh_uniform(0.0, 1.0));
            scoring = cpu_microseconds() - scoring_start;
            return true;
        });
        times.push_back(cpu_microseconds() - start - scoring);
    }
    return median(times);
}

}  // namespace

int main(int argc, char** argv) {
    const char* threads = std::getenv("TESSAVO_BENCH_THREADS");
    set_worker_limit(threads != nullptr ? std::atoi(threads) : 1);
    if (argc == 4 && std::string(argv[1]) == "xor") {
        std::printf("%.1f us\n", xor_generation(std::atoi(argv[2]), std::atoi(argv[3])));
        return 0;
    }
    if (argc == 4 && std::string(argv[1]) == "breed") {
        std::printf("%.2f ms\n", breeding_generation(std::atoi(argv[2]), std::atoi(argv[3])) / 1e3);
        return 0;
    }
    std::printf("cost of one draw (ns, median of 5 x 200000):\n");
    std::printf("  %-32s %7.1f\n", "random-device value",
                nanoseconds_per_draw([] { return static_cast<double>(device_value()); }));
    std::printf("  %-32s %7.1f\n", "fresh_uniform",
                nanoseconds_per_draw([] { return fresh_uniform(0.0, 1.0); }));
    std::printf("  %-32s %7.1f\n", "fresh_normal",
                nanoseconds_per_draw([] { return fresh_normal(0.0, 1.0); }));
    Network network(2, 1, false);
    std::printf("  %-32s %7.1f\n\n", "network_normal",
                nanoseconds_per_draw([&] { return network_normal(network); }));

    std::printf("breeding one generation of 10000 networks of 5 nodes, scoring left out:\n");
    std::printf("  %.2f ms (median of 51 generations)\n\n", breeding_generation(10000, 51) / 1e3);

    std::printf("breeding and scoring one XOR generation of 10000 networks of 5 nodes:\n");
    whole_generation(10000, 31);

    std::printf("one XOR generation, size 5, scored with mse (median of 501):\n");
    for (const int32_t count : {50, 150}) {
        std::printf("  population %-4d %8.1f us\n", count, xor_generation(count, 501));
    }
    return 0;
}
