// Cost per value of our exp, tanh and sigmoid: one value at a time, in
// blocks of 8 lanes (vectorised where the processor allows), and the C
// runtime's exp and tanh for comparison. CPU time; run pinned, e.g.
// `taskset -c 1 build/bench/activations_bench`. Build with -DTESSAVO_BENCHMARKS=ON.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "network/activation_math.hpp"

using namespace tessavo;

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

constexpr int lanes = 8;

// Kept out of line and unvectorised: the cost of one call per value.
#define SCALAR_LOOP(name, fn)                                                                      \
    [[gnu::noinline, gnu::optimize("no-tree-vectorize")]] void name(const double* in, double* out, \
                                                                    std::size_t n) {               \
        for (std::size_t i = 0; i < n; ++i) out[i] = fn(in[i]);                                    \
    }
SCALAR_LOOP(exp_scalar, exp_ieee)
SCALAR_LOOP(tanh_scalar, tanh_ieee)
SCALAR_LOOP(sigmoid_scalar, sigmoid_ieee)
SCALAR_LOOP(exp_libm, std::exp)
SCALAR_LOOP(tanh_libm, std::tanh)

// The way the forward pass calls them: a block of lanes at a time, in a
// function cloned per instruction set.
#define LANE_LOOP(name, fn)                                                             \
    [[gnu::noinline, gnu::target_clones("avx512f", "avx2", "default")]] void name(      \
        const double* in, double* out, std::size_t n) {                                 \
        for (std::size_t i = 0; i + lanes <= n; i += lanes) fn<lanes>(in + i, out + i); \
    }
LANE_LOOP(exp_block, exp_lanes)
LANE_LOOP(tanh_block, tanh_lanes)
LANE_LOOP(sigmoid_block, sigmoid_lanes)

// tanh with its exact products fused, as the passes run it where the
// processor has FMA.
[[gnu::noinline, gnu::target("avx512f,fma")]] void tanh_fma_avx512(const double* in, double* out,
                                                                  std::size_t n) {
    for (std::size_t i = 0; i + lanes <= n; i += lanes) tanh_lanes<lanes, true>(in + i, out + i);
}
[[gnu::noinline, gnu::target("avx2,fma")]] void tanh_fma_avx2(const double* in, double* out,
                                                             std::size_t n) {
    for (std::size_t i = 0; i + lanes <= n; i += lanes) tanh_lanes<lanes, true>(in + i, out + i);
}
void tanh_fma_block(const double* in, double* out, std::size_t n) {
    if (!__builtin_cpu_supports("fma")) return tanh_block(in, out, n);
    if (__builtin_cpu_supports("avx512f")) return tanh_fma_avx512(in, out, n);
    if (__builtin_cpu_supports("avx2")) return tanh_fma_avx2(in, out, n);
    tanh_block(in, out, n);
}

using Kernel = void (*)(const double*, double*, std::size_t);

struct Row {
    const char* name;
    Kernel kernel;
    const std::vector<double>* input;
    std::vector<double> times;
};

}  // namespace

int main() {
    const std::size_t n = 4096;  // fits in L1 with its output
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> wide(-30.0, 30.0);
    std::uniform_real_distribution<double> narrow(-4.0, 4.0);
    std::vector<double> exp_in(n), tanh_in(n), out(n);
    for (auto& v : exp_in) v = wide(rng);
    for (auto& v : tanh_in) v = narrow(rng);

    std::vector<Row> rows = {
        {"exp    libm  ", exp_libm, &exp_in, {}},
        {"exp    scalar", exp_scalar, &exp_in, {}},
        {"exp    lanes ", exp_block, &exp_in, {}},
        {"tanh   libm  ", tanh_libm, &tanh_in, {}},
        {"tanh   scalar", tanh_scalar, &tanh_in, {}},
        {"tanh   lanes ", tanh_block, &tanh_in, {}},
        {"tanh   lanes fma", tanh_fma_block, &tanh_in, {}},
        {"sigmoid scalar", sigmoid_scalar, &exp_in, {}},
        {"sigmoid lanes ", sigmoid_block, &exp_in, {}},
    };
    // Rounds interleave the kernels so that a busy neighbour hits all alike.
    const int rounds = 15, repeats = 200;
    double sink = 0.0;
    for (int round = 0; round < rounds; ++round) {
        for (Row& row : rows) {
            const double start = cpu_seconds();
            for (int rep = 0; rep < repeats; ++rep) {
                row.kernel(row.input->data(), out.data(), n);
                sink += out[rep % n];
            }
            row.times.push_back((cpu_seconds() - start) / (double(repeats) * double(n)));
        }
    }
    std::printf("%-16s %10s\n", "routine", "ns/value");
    for (Row& row : rows) {
        std::sort(row.times.begin(), row.times.end());
        std::printf("%-16s %10.2f\n", row.name, 1e9 * row.times[row.times.size() / 2]);
    }
    std::printf("(checksum %g)\n", sink);
    return 0;
}
