// Networks scored until Beta solves XOR or double pole balancing with
// velocities, over many seeds, straight on the core: fast enough to compare
// settings over dozens of seeds.
//
//   beta_tuning xor|pole POP SEEDS [power=0.5] [rate=0.2] [structure=0.05]
//               [species=6] [elitism=1] [cap=20000] [size=nodes]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "random/sources.hpp"
#include "training/beta.hpp"

using namespace tessavo;

namespace {

double xor_loss(Network& n) {
    static const double xs[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    static const double ys[4] = {0, 1, 1, 0};
    std::vector<double> out;
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        forward(n, xs[k], out);
        sum += (out[0] - ys[k]) * (out[0] - ys[k]);
    }
    return std::isnan(sum) ? 1e9 : sum / 4.0;
}

struct Pole {
    double s[6];
};

void derivatives(const double* s, double force, double* d) {
    const double g = -9.8, mp = 2e-6, masses[2] = {0.1, 0.01}, halves[2] = {0.5, 0.05};
    double f = force, m = 1.0;
    for (int i = 0; i < 2; ++i) {
        const double a = s[2 + 2 * i], v = s[3 + 2 * i], mi = masses[i], li = halves[i];
        const double c = std::cos(a), sn = std::sin(a);
        f += mi * li * v * v * sn + 0.75 * mi * c * (mp * v / (mi * li) + g * sn);
        m += mi * (1.0 - 0.75 * c * c);
    }
    const double xa = f / m;
    d[0] = s[1];
    d[1] = xa;
    for (int i = 0; i < 2; ++i) {
        const double a = s[2 + 2 * i], v = s[3 + 2 * i], mi = masses[i], li = halves[i];
        d[2 + 2 * i] = v;
        d[3 + 2 * i] = -0.75 * (xa * std::cos(a) + g * std::sin(a) + mp * v / (mi * li)) / li;
    }
}

void rk4(double* s, double force) {
    const double h = 0.01;
    double k1[6], k2[6], k3[6], k4[6], t[6];
    derivatives(s, force, k1);
    for (int i = 0; i < 6; ++i) t[i] = s[i] + h / 2 * k1[i];
    derivatives(t, force, k2);
    for (int i = 0; i < 6; ++i) t[i] = s[i] + h / 2 * k2[i];
    derivatives(t, force, k3);
    for (int i = 0; i < 6; ++i) t[i] = s[i] + h * k3[i];
    derivatives(t, force, k4);
    for (int i = 0; i < 6; ++i) s[i] += h / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
}

int balanced(Network& n, int limit) {
    double s[6] = {0, 0, 0.07, 0, 0, 0};
    const double scale[6] = {4.8, 2.0, 0.52, 2.0, 0.52, 2.0};
    double in[6];
    std::vector<double> out;
    clear_state(n);
    for (int action = 0; action < limit; ++action) {
        for (int i = 0; i < 6; ++i) in[i] = s[i] / scale[i];
        forward(n, in, out);
        const double o = std::isnan(out[0]) ? 0.5 : out[0];
        const double force = 10.0 * (2.0 * std::clamp(o, 0.0, 1.0) - 1.0);
        rk4(s, force);
        rk4(s, force);
        if (std::fabs(s[0]) > 2.4 || std::fabs(s[2]) > 0.628329 || std::fabs(s[4]) > 0.628329) {
            return action;
        }
    }
    return limit;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s xor|pole POP SEEDS [key=value ...]\n", argv[0]);
        return 2;
    }
    const std::string task = argv[1];
    const int pop = std::atoi(argv[2]);
    const int seeds = std::atoi(argv[3]);
    BetaSettings settings;
    long cap = 20000;
    int32_t size = 0;  // 0: inputs and outputs only
    for (int a = 4; a < argc; ++a) {
        const char* eq = std::strchr(argv[a], '=');
        if (!eq) return 2;
        const std::string key(argv[a], static_cast<std::size_t>(eq - argv[a]));
        const double v = std::atof(eq + 1);
        if (key == "power") settings.mutation_power = v;
        if (key == "rate") settings.mutation_rate = v;
        if (key == "structure") settings.structure_rate = v;
        if (key == "species") settings.species = static_cast<int32_t>(v);
        if (key == "elitism") settings.elitism = static_cast<int32_t>(v);
        if (key == "cap") cap = static_cast<long>(v);
        if (key == "size") size = static_cast<int32_t>(v);
    }
    std::vector<long> counts;
    int solved = 0;
    for (int seed = 1; seed <= seeds; ++seed) {
        seed_sources(static_cast<uint64_t>(seed));
        Network start = task == "xor" ? Network(2, 1, false) : Network(6, 1, false);
        if (size > start.size) resize(start, size);
        randomize_dense(start);
        BetaSearch search(start, pop, settings);
        long scored = 0, found = -1;
        while (found < 0 && scored < cap) {
            search.run_generation([&](std::vector<Network>& pool, std::vector<LossRow>& rows) {
                rows.assign(pool.size(), LossRow{});
                for (std::size_t i = 0; i < pool.size(); ++i) {
                    ++scored;
                    double loss;
                    if (task == "xor") {
                        loss = xor_loss(pool[i]);
                        if (loss <= 0.025 && found < 0) found = scored;
                    } else {
                        const int actions = balanced(pool[i], 100000);
                        if (actions >= 100000 && found < 0) found = scored;
                        loss = -actions;
                    }
                    rows[i] = {loss};
                }
                return true;
            });
            if (std::getenv("TRACE")) {
                double best = 1e300;
                for (const LossRow& r : search.losses()) best = std::min(best, r[0]);
                std::printf("  gen scored=%ld best=%g species=%zu size=%d\n", scored, best,
                            search.species_count(), search.members()[0].size);
            }
        }
        counts.push_back(found < 0 ? cap * 10 : found);
        solved += found >= 0;
    }
    std::vector<long> sorted = counts;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted.size() % 2 ? sorted[sorted.size() / 2]
                                            : (sorted[sorted.size() / 2 - 1] +
                                               sorted[sorted.size() / 2]) / 2.0;
    double mean = 0.0;
    for (long c : counts) mean += static_cast<double>(c);
    std::printf("%s pop=%d solved=%d/%d median=%.0f mean=%.0f |", task.c_str(), pop, solved,
                seeds, median, mean / seeds);
    for (long c : counts) std::printf(" %ld", c);
    std::printf("\n");
    return 0;
}
