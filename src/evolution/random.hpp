// The three random sources of evolution: a fresh engine per draw seeded from
// the random device, the network's own engine, and the C library's rand().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "evolution/fresh_engine.hpp"

namespace tessavo {

struct Network;

// ---- Seams, so that tests can make every source deterministic. ----

// Replaces the operating system's random device; an empty function restores it.
void set_device_source(std::function<uint32_t()> source);
// One 32-bit value from the random device (or from the replacement).
uint32_t device_value();

// Replaces the calendar clock (seconds) used to seed rand(); empty restores it.
void set_clock_source(std::function<uint32_t()> source);
// Sets both seeding flags again, as at load time.
void reset_seeding_flags();

// ---- Building blocks. ----

// (x1 + x2 * 2^32) / 2^64 from two consecutive outputs of the engine.
template <class Engine>
double canonical_uniform(Engine& engine) {
    const double x1 = static_cast<double>(static_cast<uint32_t>(engine()));
    const double x2 = static_cast<double>(static_cast<uint32_t>(engine()));
    return (x1 + x2 * 4294967296.0) / 18446744073709551616.0;
}

// One step of the polar method: two standard normal variates.
template <class Engine>
std::pair<double, double> polar_step(Engine& engine);

// rand() seeded through the activation seeding flag, % 4.
int32_t random_activation();
// lo + rand() % (hi - lo + 1), rand() seeded through its own flag.
int32_t random_int(int32_t lo, int32_t hi);

// A fresh engine per draw.
double fresh_uniform(double a, double b);
double fresh_normal(double mean, double stddev);
// N(0, 1) from the network's engine; keeps no partner variate.
double network_normal(Network& network);

// A run of `count` fresh draws with nothing else reading the random device in
// between. Gives the values of as many fresh_uniform and fresh_normal calls
// (same device values, same order), but seeds its engines a batch at a time.
class FreshDraws {
public:
    explicit FreshDraws(std::size_t count) : unread_(count) {}
    double uniform(double a, double b);
    double normal(double mean, double stddev);

private:
    static constexpr std::size_t batch = 8;
    FreshEngine& next_engine();

    std::size_t unread_;  // device values still to be read
    std::size_t next_ = 0;
    std::size_t ready_ = 0;
    FreshEngine engines_[batch];
};

// Uniform shuffle driven by one freshly seeded engine.
void shuffle_indices(std::vector<int32_t>& items);

}  // namespace tessavo

#include "evolution/random_impl.hpp"
