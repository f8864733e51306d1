// Networks scored until Gamma (or Beta) solves XOR or double pole balancing
// with or without velocities, over many seeds, straight on the core: fast
// enough to compare settings over dozens of seeds. The tasks follow
// benchmarks/search/tasks.py.
//
//   gamma_tuning xor|dpv|dpnv POP SEEDS [key=value ...]
//   keys: opt=gamma|beta step hidden restarts cap size first
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
#include "training/gamma.hpp"

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

// Actions balanced; with trace, Gruau's sum of the last 100 |x|+|x'|+|a1|+|a1'|.
int balanced(Network& n, int limit, bool velocities, const double* start, double* last100) {
    double s[6];
    std::copy(start, start + 6, s);
    const double scale[6] = {4.8, 2.0, 0.52, 2.0, 0.52, 2.0};
    double in[6];
    std::vector<double> out;
    std::vector<double> trace;
    clear_state(n);
    for (int action = 0; action < limit; ++action) {
        if (velocities) {
            for (int i = 0; i < 6; ++i) in[i] = s[i] / scale[i];
        } else {
            in[0] = s[0] / 4.8;
            in[1] = s[2] / 0.52;
            in[2] = s[4] / 0.52;
        }
        forward(n, in, out);
        const double o = std::isnan(out[0]) ? 0.5 : out[0];
        const double force = 10.0 * (2.0 * std::clamp(o, 0.0, 1.0) - 1.0);
        rk4(s, force);
        rk4(s, force);
        if (std::fabs(s[0]) > 2.4 || std::fabs(s[2]) > 0.628329 || std::fabs(s[4]) > 0.628329) {
            if (last100) {
                double sum = 0;
                for (std::size_t k = trace.size() > 100 ? trace.size() - 100 : 0; k < trace.size();
                     ++k)
                    sum += trace[k];
                *last100 = sum;
            }
            return action;
        }
        if (last100)
            trace.push_back(std::fabs(s[0]) + std::fabs(s[1]) + std::fabs(s[2]) + std::fabs(s[3]));
    }
    if (last100) {
        double sum = 0;
        for (std::size_t k = trace.size() > 100 ? trace.size() - 100 : 0; k < trace.size(); ++k)
            sum += trace[k];
        *last100 = sum;
    }
    return limit;
}

const double standard[6] = {0, 0, 0.07, 0, 0, 0};

int generalisation(Network& n, int needed) {
    const double fr[5] = {0.05, 0.25, 0.5, 0.75, 0.95};
    const double ranges[4] = {2.16, 1.35, 3.6 * M_PI / 180, 8.6 * M_PI / 180};
    int good = 0, k = 0;
    for (int a = 0; a < 5; ++a)
        for (int b = 0; b < 5; ++b)
            for (int c = 0; c < 5; ++c)
                for (int d = 0; d < 5; ++d, ++k) {
                    const double s[6] = {-ranges[0] + 2 * ranges[0] * fr[a],
                                         -ranges[1] + 2 * ranges[1] * fr[b],
                                         -ranges[2] + 2 * ranges[2] * fr[c],
                                         -ranges[3] + 2 * ranges[3] * fr[d],
                                         0,
                                         0};
                    good += balanced(n, 1000, false, s, nullptr) == 1000;
                    if (needed > 0 && good >= needed) return good;
                    if (needed > 0 && good + 625 - k - 1 < needed) return good;
                }
    return good;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s xor|dpv|dpnv POP SEEDS [key=value ...]\n", argv[0]);
        return 2;
    }
    const std::string task = argv[1];
    const int pop = std::atoi(argv[2]);
    const int seeds = std::atoi(argv[3]);
    GammaSettings gs;
    BetaSettings bs;
    std::string opt = "gamma";
    long cap = 20000;
    int32_t size = task == "xor" ? 5 : task == "dpv" ? 9 : 7;
    int first = 1;
    for (int a = 4; a < argc; ++a) {
        const char* eq = std::strchr(argv[a], '=');
        if (!eq) return 2;
        const std::string key(argv[a], static_cast<std::size_t>(eq - argv[a]));
        const double v = std::atof(eq + 1);
        if (key == "opt") opt = eq + 1;
        if (key == "step") gs.step_size = v;
        if (key == "hidden") gs.hidden_activation = static_cast<int32_t>(v);
        if (key == "restarts") gs.restarts = v != 0;
        if (key == "cap") cap = static_cast<long>(v);
        if (key == "size") size = static_cast<int32_t>(v);
        if (key == "first") first = static_cast<int>(v);
    }
    std::vector<long> counts;
    int solved = 0;
    for (int seed = first; seed < first + seeds; ++seed) {
        seed_sources(static_cast<uint64_t>(seed));
        const int inputs = task == "xor" ? 2 : task == "dpv" ? 6 : 3;
        Network start(inputs, 1, task == "dpnv");
        if (size > start.size) resize(start, size);
        randomize_dense(start);
        if (std::getenv("TRACE")) {
            std::printf("seed %d activations:", seed);
            for (int i = start.inputs; i < start.size; ++i)
                std::printf(" %d", start.activations[i]);
            std::printf("\n");
        }
        std::optional<GammaSearch> gamma;
        std::optional<BetaSearch> beta;
        if (opt == "gamma")
            gamma.emplace(start, pop, gs);
        else
            beta.emplace(start, pop, bs);
        long scored = 0, found = -1;
        while (found < 0 && scored < cap) {
            auto scorer = [&](std::vector<Network>& pool, std::vector<LossRow>& rows) {
                rows.assign(pool.size(), LossRow{});
                for (std::size_t i = 0; i < pool.size(); ++i) {
                    if (found >= 0 || scored >= cap) {
                        rows[i] = {1e30};
                        continue;
                    }
                    ++scored;
                    double loss;
                    if (task == "xor") {
                        loss = xor_loss(pool[i]);
                        if (loss <= 0.025 && found < 0) found = scored;
                    } else if (task == "dpv") {
                        const int actions = balanced(pool[i], 100000, true, standard, nullptr);
                        if (actions >= 100000 && found < 0) found = scored;
                        loss = 1.0 - actions / 100000.0;
                    } else {
                        double last = 0;
                        const int t = balanced(pool[i], 1000, false, standard, &last);
                        const double f2 = t >= 100 ? 0.75 / std::max(last, 1e-12) : 0.0;
                        loss = -(0.1 * t / 1000.0 + 0.9 * f2);
                    }
                    rows[i] = {loss};
                }
                if (task == "dpnv" && found < 0) {
                    std::size_t best = 0;
                    for (std::size_t i = 1; i < pool.size(); ++i)
                        if (rows[i][0] < rows[best][0]) best = i;
                    const int long_run = balanced(pool[best], 100000, false, standard, nullptr);
                    if (std::getenv("TRACE") && long_run > 1000)
                        std::printf("  candidate %d general=%d\n", long_run,
                                    generalisation(pool[best], 0));
                    if (long_run == 100000 && generalisation(pool[best], 200) >= 200) {
                        found = scored;
                        if (std::getenv("TRACE"))
                            std::printf("  general=%d\n", generalisation(pool[best], 0));
                    }
                }
                return true;
            };
            if (gamma)
                gamma->run_generation(scorer);
            else
                beta->run_generation(scorer);
            if (std::getenv("TRACE")) {
                const auto& l = gamma ? gamma->losses() : beta->losses();
                double best = 1e300;
                for (const LossRow& r : l) best = std::min(best, r[0]);
                std::printf("  gen scored=%ld best=%g restarts=%d\n", scored, best,
                            gamma ? gamma->restarts() : 0);
            }
        }
        counts.push_back(found < 0 ? cap * 10 : found);
        solved += found >= 0;
    }
    std::vector<long> sorted = counts;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted.size() % 2
                              ? sorted[sorted.size() / 2]
                              : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2.0;
    std::printf("%s %s pop=%d", task.c_str(), opt.c_str(), pop);
    for (int a = 4; a < argc; ++a) std::printf(" %s", argv[a]);
    std::printf(" solved=%d/%d median=%.0f |", solved, seeds, median);
    for (long c : counts) std::printf(" %ld", c);
    std::printf("\n");
    return 0;
}
