// The small engine behind every fresh draw and every network's own stream,
// and the value transformations that all draws share.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

namespace tessavo {

// xoshiro128** (Blackman and Vigna): 128 bits of state and 32-bit outputs,
// period 2^128 - 1, and it passes the linear-complexity tests that MT19937
// fails. A 32-bit seed is spread over the state by SplitMix64, whose two
// consecutive outputs are never both zero, so the state never is.
class RandomEngine {
public:
    using result_type = uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 0xFFFFFFFFu; }

    constexpr RandomEngine() { seed(0); }
    constexpr explicit RandomEngine(uint32_t value) { seed(value); }

    constexpr void seed(uint32_t value) { seed64(value); }

    // Spreads a 64-bit seed over the state, as seed() does a 32-bit one.
    constexpr void seed64(uint64_t value) {
        uint64_t x = value;
        const uint64_t a = splitmix64(x);
        const uint64_t b = splitmix64(x);
        s_[0] = static_cast<uint32_t>(a);
        s_[1] = static_cast<uint32_t>(a >> 32);
        s_[2] = static_cast<uint32_t>(b);
        s_[3] = static_cast<uint32_t>(b >> 32);
    }

    constexpr result_type operator()() {
        const uint32_t result = rotl(s_[1] * 5u, 7) * 9u;
        const uint32_t t = s_[1] << 9;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 11);
        return result;
    }

    friend bool operator==(const RandomEngine&, const RandomEngine&) = default;

    // The four state words, for saving a run; an all-zero state, which the
    // engine never reaches, is refused (false, nothing changed).
    std::array<uint32_t, 4> state() const { return {s_[0], s_[1], s_[2], s_[3]}; }
    bool set_state(const std::array<uint32_t, 4>& words) {
        if ((words[0] | words[1] | words[2] | words[3]) == 0) return false;
        for (std::size_t k = 0; k < 4; ++k) s_[k] = words[k];
        return true;
    }

private:
    static constexpr uint32_t rotl(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

    static constexpr uint64_t splitmix64(uint64_t& x) {
        uint64_t z = (x += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }

    uint32_t s_[4] = {};
};

// The engine of item `index` of a job seeded with `seed` (a generation's
// children, say): its stream depends on the pair alone, never on which
// thread serves the item, so parallel work repeats bit for bit.
constexpr RandomEngine derived_engine(uint64_t seed, uint64_t index) {
    RandomEngine engine;
    engine.seed64(seed ^ (index * 0xD1B54A32D192ED03u + 0x8BB84B93962EACC9u));
    return engine;
}

// (x1 + x2 * 2^32) / 2^64 from two consecutive outputs of the engine.
template <class Engine>
double canonical_uniform(Engine& engine) {
    const double x1 = static_cast<double>(static_cast<uint32_t>(engine()));
    const double x2 = static_cast<double>(static_cast<uint32_t>(engine()));
    return (x1 + x2 * 4294967296.0) / 18446744073709551616.0;
}

// The polar method in two halves, so that a run of draws can take all its
// pairs first and then overlap the slow logarithms and roots.
// First half: canonical uniforms u1, u2 until p = 2 u1 - 1 and q = 2 u2 - 1
// give 0 < s = p^2 + q^2 < 1 with p and q nonzero.
template <class Engine>
void polar_pair(Engine& engine, double& p, double& q, double& s) {
    do {
        const double u1 = canonical_uniform(engine);
        const double u2 = canonical_uniform(engine);
        p = 2.0 * u1 - 1.0;
        q = 2.0 * u2 - 1.0;
        s = p * p + q * q;
    } while (!(s < 1.0) || p == 0.0 || q == 0.0);
}

// Second half: the two standard normal variates of an accepted pair.
inline std::pair<double, double> polar_variates(double p, double q, double s) {
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

// One step of the polar method: two standard normal variates.
template <class Engine>
std::pair<double, double> polar_step(Engine& engine) {
    double p, q, s;
    polar_pair(engine, p, q, s);
    return polar_variates(p, q, s);
}

}  // namespace tessavo
