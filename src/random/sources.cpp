#include "random/sources.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <utility>

namespace tessavo {

namespace detail {
std::atomic<uint64_t> random_epoch{0};
}  // namespace detail

namespace {

using detail::random_epoch;

std::function<uint32_t()>& device_override() {
    static std::function<uint32_t()> source;
    return source;
}

// A forked child must not repeat the values its parent goes on to use.
void drop_caches() { random_epoch.fetch_add(1, std::memory_order_relaxed); }

std::atomic<uint32_t> reseed_interval{default_fresh_reseed_interval};

// One block per thread, read with one system call, serves many draws.
class DeviceBlock {
public:
    uint32_t next() {
        const uint64_t epoch = random_epoch.load(std::memory_order_relaxed);
        if (pos_ == count || epoch != epoch_) refill(epoch);
        return block_[pos_++];
    }

private:
    static constexpr std::size_t count = 1024;

    void refill(uint64_t epoch) {
        std::size_t got = 0;
        auto* bytes = reinterpret_cast<unsigned char*>(block_);
        while (got < sizeof block_) {
            const ssize_t n = getrandom(bytes + got, sizeof block_ - got, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::system_error(errno, std::generic_category(),
                                        "cannot read the random device");
            }
            got += static_cast<std::size_t>(n);
        }
        pos_ = 0;
        epoch_ = epoch;
    }

    uint32_t block_[count];
    std::size_t pos_ = count;
    uint64_t epoch_ = 0;
};

[[maybe_unused]] const bool fork_handler_installed = [] {
    pthread_atfork(nullptr, nullptr, drop_caches);
    return true;
}();

}  // namespace

void FreshStream::reseed() {
    epoch_ = random_epoch.load(std::memory_order_relaxed);
    if (pinned_) {
        left_ = 0xFFFFFFFFu;
        return;
    }
    engine_.seed(device_value());
    left_ = reseed_interval.load(std::memory_order_relaxed);
}

double FreshStream::normal(double mean, double stddev) {
    return mean + stddev * polar_step(engine()).first;
}

void FreshStream::normals(const double* means, const double* stddevs, double* out,
                          std::size_t count) {
    constexpr std::size_t chunk = 16;
    double p[chunk], q[chunk], s[chunk];
    for (std::size_t start = 0; start < count; start += chunk) {
        const std::size_t n = std::min(chunk, count - start);
        for (std::size_t k = 0; k < n; ++k) polar_pair(engine(), p[k], q[k], s[k]);
        // Independent of each other: the processor overlaps them.
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t at = start + k;
            out[at] = means[at] + stddevs[at] * polar_variates(p[k], q[k], s[k]).first;
        }
    }
}

void FreshStream::pin(const RandomEngine& engine) {
    engine_ = engine;
    pinned_ = true;
    left_ = 0xFFFFFFFFu;
    epoch_ = random_epoch.load(std::memory_order_relaxed);
}

namespace {
thread_local ItemDraws* item_draws = nullptr;
}  // namespace

ItemDraws::ItemDraws(const RandomEngine& engine)
    : previous_(item_draws), previous_stream_(fresh_stream_override) {
    stream_.pin(engine);
    item_draws = this;
    fresh_stream_override = &stream_;
}

ItemDraws::~ItemDraws() {
    item_draws = previous_;
    fresh_stream_override = previous_stream_;
}

int32_t ItemDraws::c_rand() {
    if (c_front_ < 0) {
        // Random words need none of the warm-up that srand's seeding does.
        for (uint32_t& word : c_state_) word = engine()();
        c_front_ = 3;
        c_rear_ = 0;
    }
    c_state_[c_front_] += c_state_[c_rear_];
    const auto value = static_cast<int32_t>(c_state_[c_front_] >> 1);
    c_front_ = c_front_ == 30 ? 0 : c_front_ + 1;
    c_rear_ = c_rear_ == 30 ? 0 : c_rear_ + 1;
    return value;
}

void set_fresh_reseed_interval(uint32_t interval) {
    reseed_interval.store(interval < 1 ? 1 : interval, std::memory_order_relaxed);
    drop_caches();
}

void set_device_source(std::function<uint32_t()> source) {
    device_override() = std::move(source);
    drop_caches();
}

uint32_t device_value() {
    if (item_draws != nullptr) return item_draws->engine()();
    const auto& source = device_override();
    if (source) return source();
    thread_local DeviceBlock block;
    return block.next();
}

namespace {

std::function<uint32_t()>& clock_override() {
    static std::function<uint32_t()> source;
    return source;
}

// Both start set when the module is loaded; each is cleared by the first use
// of what it guards.
bool activation_seeding_flag = true;
bool random_int_seeding_flag = true;

void seed_c_generator_from_clock() {
    const auto& clock = clock_override();
    const uint32_t seconds = clock ? clock() : static_cast<uint32_t>(std::time(nullptr));
    std::srand(seconds);
}

}  // namespace

void set_clock_source(std::function<uint32_t()> source) { clock_override() = std::move(source); }

void reset_seeding_flags() {
    activation_seeding_flag = true;
    random_int_seeding_flag = true;
}

namespace {

// SplitMix64: every seed, 0 included, gives a well-mixed stream.
class SeededStream {
public:
    explicit SeededStream(uint64_t seed) : state_(seed) {}
    uint32_t operator()() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }

private:
    uint64_t state_;
};

}  // namespace

void seed_sources(uint64_t seed) {
    SeededStream stream(seed);
    std::srand(stream());
    activation_seeding_flag = false;
    random_int_seeding_flag = false;
    set_device_source(stream);
}

void unseed_sources() {
    set_device_source({});
    reset_seeding_flags();
}

int32_t random_activation() {
    if (item_draws != nullptr) return item_draws->c_rand() % 4;
    if (activation_seeding_flag) {
        seed_c_generator_from_clock();
        activation_seeding_flag = false;
    }
    return std::rand() % 4;
}

int32_t random_int(int32_t lo, int32_t hi) {
    const int64_t span = static_cast<int64_t>(hi) - lo + 1;
    if (item_draws != nullptr) return static_cast<int32_t>(lo + item_draws->c_rand() % span);
    if (random_int_seeding_flag) {
        seed_c_generator_from_clock();
        random_int_seeding_flag = false;
    }
    return static_cast<int32_t>(lo + std::rand() % span);
}

int32_t c_rand_or_scoped() { return item_draws != nullptr ? item_draws->c_rand() : std::rand(); }

double fresh_uniform(double a, double b) { return fresh_stream().uniform(a, b); }

double fresh_normal(double mean, double stddev) { return fresh_stream().normal(mean, stddev); }

namespace {

// Uniform in [0, bound) by rejection: only 32-bit outputs below the largest
// multiple of bound are used, so every remainder is equally likely.
uint32_t uniform_below(RandomEngine& engine, uint32_t bound) {
    const uint64_t range = uint64_t{1} << 32;
    const uint64_t accepted = range - range % bound;
    uint32_t x;
    do {
        x = engine();
    } while (x >= accepted);
    return x % bound;
}

}  // namespace

void shuffle_indices(std::vector<int32_t>& items) {
    RandomEngine& engine = fresh_stream().engine();
    for (std::size_t i = 1; i < items.size(); ++i) {
        const std::size_t j = uniform_below(engine, static_cast<uint32_t>(i + 1));
        if (j != i) std::swap(items[i], items[j]);
    }
}

}  // namespace tessavo
