// The random sources below the network record: the operating system's
// random device and the calendar clock behind seams that tests (and a fixed
// seed) can replace, fresh draws seeded from the device, and the C library's
// rand() algorithm seeded from the clock. Every one of them can be saved and
// restored with a run (RandomStreams).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "random/c_generator.hpp"
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

// The process's C generator: glibc's rand() algorithm held by tessavo, so
// that a run can save its state. c_srand seeds it as srand() would (it
// starts as srand(1)); c_rand returns its next value, or the next value of
// the ItemDraws in force on this thread. Neither touches the C library's own
// generator, nor a seeding flag.
void c_srand(uint32_t seed);
int32_t c_rand();

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

namespace detail {
// Changes when values drawn from the device so far must not be used any
// more: the source was replaced, the interval changed, or the process forked.
extern std::atomic<uint64_t> random_epoch;
}  // namespace detail

class FreshStream {
public:
    // The engine for one draw. Inline: evolution takes several per gene.
    RandomEngine& engine() {
        if (left_ == 0 || epoch_ != detail::random_epoch.load(std::memory_order_relaxed)) reseed();
        --left_;
        return engine_;
    }
    double uniform(double a, double b) { return canonical_uniform(engine()) * (b - a) + a; }
    double normal(double mean, double stddev);
    // out[k] = means[k] + stddevs[k] * (a standard normal), for k < count:
    // the values of as many normal() calls in order, computed faster.
    void normals(const double* means, const double* stddevs, double* out, std::size_t count);

    // Serves every later draw from engine alone, never reseeding.
    void pin(const RandomEngine& engine);

    // What the next draws depend on: the engine and how many draws it has
    // left before the device reseeds it (0: reseeded at the next draw).
    struct State {
        RandomEngine engine;
        uint32_t left = 0;
    };
    State state() const;
    void set_state(const State& state);

private:
    void reseed();

    RandomEngine engine_;
    uint32_t left_ = 0;
    uint64_t epoch_ = 0;
    bool pinned_ = false;
};

// This thread's stream; constant-initialised, so reaching it needs no guard.
inline thread_local FreshStream fresh_stream_of_thread;
inline thread_local FreshStream* fresh_stream_override = nullptr;
inline FreshStream& fresh_stream() {
    FreshStream* item = fresh_stream_override;
    return item != nullptr ? *item : fresh_stream_of_thread;
}

// While alive, every draw made on this thread comes from one engine of a
// work item's own: fresh draws, the device values that seed new networks'
// engines, and the C generator of random_activation and random_int (glibc's
// rand() algorithm, its additive feedback over 31 words, with the words
// drawn from the engine at its first use). Work shared out over threads then
// repeats bit for bit whichever thread serves an item. Nests; not movable.
class ItemDraws {
public:
    explicit ItemDraws(const RandomEngine& engine);
    ~ItemDraws();
    ItemDraws(const ItemDraws&) = delete;
    ItemDraws& operator=(const ItemDraws&) = delete;

    RandomEngine& engine() { return stream_.engine(); }
    // One value of the item's C generator, 0 .. RAND_MAX.
    int32_t c_rand();

    // The engine and the C generator (unseeded: words drawn at first use).
    struct State {
        RandomEngine engine;
        bool c_seeded = false;
        CGenerator::State c_generator;
    };
    State state() const;
    void set_state(const State& state);

private:
    FreshStream stream_;
    ItemDraws* previous_;
    FreshStream* previous_stream_;
    CGenerator c_generator_;
    bool c_seeded_ = false;
};

// The innermost ItemDraws of this thread, or null.
ItemDraws* current_item_draws();

// ---- Saving and restoring. ----

// Every stream the calling thread's draws come from, as a value. Outside an
// ItemDraws scope: this thread's fresh stream, the device (the operating
// system's, or the seeded stream of seed_sources), the process's C generator
// and both seeding flags. Inside one (a run with a seed of its own): that
// scope's engine and C generator, and nothing process-wide.
struct RandomStreams {
    bool item_scope = false;
    // Outside an item scope.
    FreshStream::State fresh;
    bool device_seeded = false;  // else the device is the operating system's
    uint64_t device_state = 0;   // the seeded stream's counter
    CGenerator::State c_generator;
    bool activation_flag = true;
    bool random_int_flag = true;
    // Inside one.
    ItemDraws::State item;
};

// A replaced device source (set_device_source) cannot be captured: it counts
// as the operating system's.
RandomStreams capture_random_streams();
// Puts the streams back where capture found them, so that the draws that
// follow are those that followed the capture. Throws std::invalid_argument
// when the scope (process-wide or an item's) is not the one in force now.
void restore_random_streams(const RandomStreams& streams);

// A run-local seed: while alive, every draw made on this thread (and so by
// the breeding pool, whose items derive their engines from this thread's
// draws) comes from one stream that depends on seed and purpose alone. A
// seeded run then repeats in any thread, beside other runs, and leaves the
// process-wide sources (seed_sources, rand()) as it found them. purpose keeps
// apart the streams of different calls given one seed. Nests; not movable.
class SeededDraws {
public:
    SeededDraws(uint64_t seed, uint64_t purpose) : draws_(derived_engine(seed, purpose)) {}

private:
    ItemDraws draws_;
};

// Purposes of SeededDraws: the stream of a new model and the stream of a run.
inline constexpr uint64_t seeded_model_purpose = 1;
inline constexpr uint64_t seeded_run_purpose = 2;

double fresh_uniform(double a, double b);
double fresh_normal(double mean, double stddev);

// Uniform shuffle driven by the engine of one fresh draw.
void shuffle_indices(std::vector<int32_t>& items);

}  // namespace tessavo
