#include "evolution/random.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <system_error>

#include "network/network.hpp"

namespace tessavo {

namespace {

std::function<uint32_t()>& device_override() {
    static std::function<uint32_t()> source;
    return source;
}

std::function<uint32_t()>& clock_override() {
    static std::function<uint32_t()> source;
    return source;
}

// The random device is read in blocks: one system call serves many seedings.
class DeviceBuffer {
public:
    uint32_t next() {
        if (pos_ == count_) refill();
        return block_[pos_++];
    }

private:
    void refill() {
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
        count_ = sizeof block_ / sizeof block_[0];
    }

    uint32_t block_[256];
    std::size_t pos_ = 0;
    std::size_t count_ = 0;
};

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

void set_device_source(std::function<uint32_t()> source) { device_override() = std::move(source); }

uint32_t device_value() {
    const auto& source = device_override();
    if (source) return source();
    static DeviceBuffer buffer;
    return buffer.next();
}

void set_clock_source(std::function<uint32_t()> source) { clock_override() = std::move(source); }

void reset_seeding_flags() {
    activation_seeding_flag = true;
    random_int_seeding_flag = true;
}

int32_t random_activation() {
    if (activation_seeding_flag) {
        seed_c_generator_from_clock();
        activation_seeding_flag = false;
    }
    return std::rand() % 4;
}

int32_t random_int(int32_t lo, int32_t hi) {
    if (random_int_seeding_flag) {
        seed_c_generator_from_clock();
        random_int_seeding_flag = false;
    }
    const int64_t span = static_cast<int64_t>(hi) - lo + 1;
    return static_cast<int32_t>(lo + std::rand() % span);
}

double fresh_uniform(double a, double b) {
    FreshEngine engine(device_value());
    return canonical_uniform(engine) * (b - a) + a;
}

double fresh_normal(double mean, double stddev) {
    FreshEngine engine(device_value());
    return mean + stddev * polar_step(engine).first;
}

FreshEngine& FreshDraws::next_engine() {
    if (next_ == ready_) {
        if (unread_ == 0) throw std::logic_error("more fresh draws taken than announced");
        ready_ = std::min(batch, unread_);
        for (std::size_t e = 0; e < batch; ++e) engines_[e].reseed(e < ready_ ? device_value() : 0);
        unread_ -= ready_;
        next_ = 0;
        seed_in_lockstep(engines_);
    }
    return engines_[next_++];
}

double FreshDraws::uniform(double a, double b) {
    return canonical_uniform(next_engine()) * (b - a) + a;
}

double FreshDraws::normal(double mean, double stddev) {
    return mean + stddev * polar_step(next_engine()).first;
}

double network_normal(Network& network) { return polar_step(network.rng).first; }

namespace {

// Uniform in [0, bound) by rejection: only 32-bit outputs below the largest
// multiple of bound are used, so every remainder is equally likely.
uint32_t uniform_below(FreshEngine& engine, uint32_t bound) {
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
    FreshEngine engine(device_value());
    for (std::size_t i = 1; i < items.size(); ++i) {
        const std::size_t j = uniform_below(engine, static_cast<uint32_t>(i + 1));
        if (j != i) std::swap(items[i], items[j]);
    }
}

}  // namespace tessavo
