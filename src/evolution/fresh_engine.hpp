// The engine behind every fresh draw: an MT19937 seeded with one value,
// used for a handful of outputs and thrown away.
#pragma once

#include <cstdint>
#include <optional>
#include <random>

namespace tessavo {

// Gives exactly the outputs of std::mt19937(seed), but computes only the
// state words that the outputs drawn so far depend on. Output i < 227 of the
// first twist reads the initial words i, i + 1 and i + 397 alone, so the
// usual two or four outputs cost about 400 seeding steps instead of 623
// seeding steps plus a 624-word twist. Past output 226 a full engine takes
// over.
class FreshEngine {
public:
    using result_type = uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 0xFFFFFFFFu; }

    explicit FreshEngine(uint32_t seed) : seeded_(1), drawn_(0) { word_[0] = seed; }

    result_type operator()() {
        if (drawn_ >= lazy_outputs) return next_from_full_engine();
        const int i = drawn_++;
        while (seeded_ <= i + shift) {
            const uint32_t prev = word_[seeded_ - 1];
            word_[seeded_] = 1812433253u * (prev ^ (prev >> 30)) + static_cast<uint32_t>(seeded_);
            ++seeded_;
        }
        const uint32_t y = (word_[i] & 0x80000000u) | (word_[i + 1] & 0x7FFFFFFFu);
        uint32_t z = word_[i + shift] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
        z ^= z >> 11;
        z ^= (z << 7) & 0x9D2C5680u;
        z ^= (z << 15) & 0xEFC60000u;
        z ^= z >> 18;
        return z;
    }

private:
    static constexpr int state_words = 624;
    static constexpr int shift = 397;
    // Later outputs of the first twist read words the twist already rewrote.
    static constexpr int lazy_outputs = state_words - shift;

    result_type next_from_full_engine() {
        if (!full_) {
            full_.emplace(word_[0]);
            full_->discard(lazy_outputs);
        }
        return static_cast<result_type>((*full_)());
    }

    // Initial state words [0, seeded_); word 0 is the seed.
    uint32_t word_[state_words];
    int seeded_;
    int drawn_;
    std::optional<std::mt19937> full_;
};

}  // namespace tessavo
