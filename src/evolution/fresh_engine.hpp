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
// first twist reads the initial words i, i + 1 and i + 397 alone, so a few
// outputs cost one run of the seeding chain up to word 400 instead of 623
// seeding steps plus a 624-word twist. Of the words crossed on the way only
// the first few are kept; past output 226 a full engine takes over.
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
        low_ = 1;
        high_ = 0;
        drawn_ = 0;
        full_.reset();
    }

    result_type operator()() {
        if (drawn_ >= lazy_outputs) return next_from_full_engine();
        const int i = drawn_++;
        if (high_ == 0) {
            FreshEngine* self[] = {this};
            cross_gap(self);
        }
        extend(low_, i + 2);
        extend(high_, i + shift + 1);
        const uint32_t y = (word_[i] & 0x80000000u) | (word_[i + 1] & 0x7FFFFFFFu);
        return temper(word_[i + shift] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u));
    }

    // Runs the seeding chains of freshly reseeded engines side by side. Each
    // chain is serial, but the chains of different engines are independent,
    // so interleaving them keeps the processor busy.
    template <std::size_t N>
    friend void seed_in_lockstep(FreshEngine (&engines)[N]) {
        FreshEngine* lanes[N];
        for (std::size_t e = 0; e < N; ++e) lanes[e] = &engines[e];
        cross_gap(lanes);
    }

private:
    static constexpr int state_words = 624;
    static constexpr int shift = 397;
    // Later outputs of the first twist read words the twist already rewrote.
    static constexpr int lazy_outputs = state_words - shift;
    // Initial words kept below the gap: enough for nine outputs.
    static constexpr int kept_low = 10;
    // Words computed beyond the gap in one go: enough for four outputs.
    static constexpr int first_high = shift + 4;

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

    // The first run of the chain: keeps words [0, kept_low) and
    // [shift, first_high), and only passes through the words between.
    template <std::size_t N>
    static void cross_gap(FreshEngine* const (&lanes)[N]) {
        uint32_t last[N];
        for (std::size_t e = 0; e < N; ++e) last[e] = lanes[e]->word_[0];
        for (int k = 1; k < kept_low; ++k)
            for (std::size_t e = 0; e < N; ++e)
                lanes[e]->word_[k] = last[e] = next_word(last[e], k);
        for (int k = kept_low; k < shift; ++k)
            for (std::size_t e = 0; e < N; ++e) last[e] = next_word(last[e], k);
        for (int k = shift; k < first_high; ++k)
            for (std::size_t e = 0; e < N; ++e)
                lanes[e]->word_[k] = last[e] = next_word(last[e], k);
        for (std::size_t e = 0; e < N; ++e) {
            lanes[e]->low_ = kept_low;
            lanes[e]->high_ = first_high;
        }
    }

    // Continues a chain of known words [.., end) up to word to - 1.
    void extend(int& end, int to) {
        for (; end < to; ++end) word_[end] = next_word(word_[end - 1], end);
    }

    result_type next_from_full_engine() {
        if (!full_) {
            full_ = std::make_unique<std::mt19937>(word_[0]);
            full_->discard(lazy_outputs);
        }
        return static_cast<result_type>((*full_)());
    }

    // Known initial words: [0, low_) and, once the gap is crossed (high_ > 0),
    // [shift, high_). Word 0 is the seed.
    uint32_t word_[state_words];
    int low_ = 0;
    int high_ = 0;
    int drawn_ = 0;
    std::unique_ptr<std::mt19937> full_;
};

}  // namespace tessavo
