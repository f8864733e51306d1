#pragma once

#include <cmath>

namespace tessavo {

template <class Engine>
std::pair<double, double> polar_step(Engine& engine) {
    double p, q, s;
    do {
        const double u1 = canonical_uniform(engine);
        const double u2 = canonical_uniform(engine);
        p = 2.0 * u1 - 1.0;
        q = 2.0 * u2 - 1.0;
        s = p * p + q * q;
    } while (!(s < 1.0) || p == 0.0 || q == 0.0);
    double log_s;
    if (s > 1e-4) {
        log_s = std::log(s);
    } else {
        // Scale tiny pairs up so that ln s keeps its precision.
        const int e = std::ilogb(std::fabs(p) > std::fabs(q) ? p : q);
        p = std::scalbn(p, -e);
        q = std::scalbn(q, -e);
        s = p * p + q * q;
        log_s = std::log(s) + e * 1.3862943611198906;
    }
    const double f = std::sqrt(-2.0 * log_s / s);
    return {p * f, q * f};
}

}  // namespace tessavo
