// The random sources below the network record: the operating system's
// random device and the calendar clock behind seams that tests (and a fixed
// seed) can replace, fresh draws seeded from the device, and the C library's
// rand() seeded from the clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "random/engine.hpp"

namespace tessavo {

// ---- Seams. ----

// Replaces the random device; an empty function restores it. Values the
// device had already handed to a block cache are dropped either way.
void set_device_source(std::function<uint32_t()> source);
// One 32-bit value from the random device (or from the replacement).
uint32_t device_value();

// Replaces the calendar clock (seconds) used to seed rand(); empty restores it.
void set_clock_source(std::function<uint32_t()> source);
// Sets both seeding flags again, as at load time.
void reset_seeding_flags();

// Makes every draw repeatable: device values come from one stream seeded
// with seed, and the C generator is seeded at once from that stream (so the
// clock is not read). Process-wide; draws are taken on the training thread.
void seed_sources(uint64_t seed);
// Back to the operating system's device; the C generator is seeded from the
// clock again at its next use.
void unseed_sources();

// ---- Draws. ----

// rand() seeded through the activation seeding flag, % 4.
int32_t random_activation();
// lo + rand() % (hi - lo + 1), rand() seeded through its own flag.
int32_t random_int(int32_t lo, int32_t hi);

// Fresh draws: each takes its values from an engine seeded with one device
// value. Seeding an engine per draw would cost a device read each, so one
// engine serves `interval` draws before the next device value reseeds it;
// an interval of 1 gives every draw its own engine (tests steer single
// draws that way). Replacing the device source reseeds at the next draw.
inline constexpr uint32_t default_fresh_reseed_interval = 4096;
void set_fresh_reseed_interval(uint32_t interval);

class FreshStream {
public:
    // The engine for one draw.
    RandomEngine& engine();
    double uniform(double a, double b);
    double normal(double mean, double stddev);
    // out[k] = means[k] + stddevs[k] * (a standard normal), for k < count:
    // the values of as many normal() calls in order, computed faster.
    void normals(const double* means, const double* stddevs, double* out, std::size_t count);

private:
    void reseed();

    RandomEngine engine_;
    uint32_t left_ = 0;
    uint64_t epoch_ = 0;
};

// This thread's stream; loops that draw many values keep the reference.
FreshStream& fresh_stream();

double fresh_uniform(double a, double b);
double fresh_normal(double mean, double stddev);

// Uniform shuffle driven by the engine of one fresh draw.
void shuffle_indices(std::vector<int32_t>& items);

}  // namespace tessavo
