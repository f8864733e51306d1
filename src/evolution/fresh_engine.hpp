// The engine behind every fresh draw: an MT19937 seeded with one value,
// used for a handful of outputs and thrown away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

    // Unseeded; reseed before drawing.
    FreshEngine() = default;
    explicit FreshEngine(uint32_t seed) { reseed(seed); }

    void reseed(uint32_t seed) {
        word_[0] = seed;
        seeded_ = 1;
        drawn_ = 0;
        full_.reset();
    }

    result_type operator()() {
        if (drawn_ >= lazy_outputs) return next_from_full_engine();
        const int i = drawn_++;
        seed_up_to(i + shift + 1);
        const uint32_t y = (word_[i] & 0x80000000u) | (word_[i + 1] & 0x7FFFFFFFu);
        return temper(word_[i + shift] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u));
    }

    // Seeds freshly reseeded engines side by side as far as their first
    // `outputs` outputs need. Each seeding chain is serial, but the chains of
    // different engines are independent, so running them in lockstep keeps
    // the multiplier busy.
    template <std::size_t N>
    friend void seed_in_lockstep(FreshEngine (&engines)[N], int outputs) {
        const int end = outputs + shift + 1;
        uint32_t last[N];
        for (std::size_t e = 0; e < N; ++e) last[e] = engines[e].word_[0];
        for (int w = 1; w < end; ++w) {
            for (std::size_t e = 0; e < N; ++e) {
                last[e] = next_word(last[e], w);
                engines[e].word_[w] = last[e];
            }
        }
        for (std::size_t e = 0; e < N; ++e) engines[e].seeded_ = end;
    }

private:
    static constexpr int state_words = 624;
    static constexpr int shift = 397;
    // Later outputs of the first twist read words the twist already rewrote.
    static constexpr int lazy_outputs = state_words - shift;

    static uint32_t next_word(uint32_t previous, int index) {
        return 1812433253u * (previous ^ (previous >> 30)) + static_cast<uint32_t>(index);
    }

    static uint32_t temper(uint32_t z) {
        z ^= z >> 11;
        z ^= (z << 7) & 0x9D2C5680u;
        z ^= (z << 15) & 0xEFC60000u;
        z ^= z >> 18;
        return z;
    }

    // Computes the initial words [seeded_, end).
    void seed_up_to(int end) {
        for (; seeded_ < end; ++seeded_) word_[seeded_] = next_word(word_[seeded_ - 1], seeded_);
    }

    result_type next_from_full_engine() {
        if (!full_) {
            full_ = std::make_unique<std::mt19937>(word_[0]);
            full_->discard(lazy_outputs);
        }
        return static_cast<result_type>((*full_)());
    }

    // Initial state words [0, seeded_); word 0 is the seed.
    uint32_t word_[state_words];
    int seeded_ = 0;
    int drawn_ = 0;
    std::unique_ptr<std::mt19937> full_;
};

}  // namespace tessavo
