// The C library's rand() as glibc computes it (its default generator: an
// additive feedback over 31 words), held as a value so that a run can save
// and restore it. Seeded like srand(), it returns what rand() returns.
#pragma once

#include <array>
#include <cstdint>

namespace tessavo {

class CGenerator {
public:
    static constexpr int32_t degree = 31;
    static constexpr int32_t separation = 3;

    // The state of a program that never called srand(): srand(1).
    CGenerator() { seed(1); }

    // srand(value): a multiplicative congruential fill, then 310 discarded
    // outputs.
    void seed(uint32_t value) {
        if (value == 0) value = 1;
        auto word = static_cast<int32_t>(value);
        words_[0] = static_cast<uint32_t>(word);
        for (int32_t i = 1; i < degree; ++i) {
            // 16807 * word % (2^31 - 1) without overflowing 31 bits (Schrage).
            const int64_t hi = word / 127773;
            const int64_t lo = word % 127773;
            int64_t next = 16807 * lo - 2836 * hi;
            if (next < 0) next += 2147483647;
            word = static_cast<int32_t>(next);
            words_[static_cast<std::size_t>(i)] = static_cast<uint32_t>(word);
        }
        front_ = separation;
        rear_ = 0;
        for (int32_t k = 0; k < 10 * degree; ++k) next();
    }

    // Words given outright, needing none of srand's warm-up.
    template <class Engine>
    void seed_words(Engine& engine) {
        for (uint32_t& word : words_) word = static_cast<uint32_t>(engine());
        front_ = separation;
        rear_ = 0;
    }

    // rand(): 0 .. 2^31 - 1.
    int32_t next() {
        uint32_t& front = words_[static_cast<std::size_t>(front_)];
        front += words_[static_cast<std::size_t>(rear_)];
        const auto value = static_cast<int32_t>(front >> 1);
        front_ = front_ == degree - 1 ? 0 : front_ + 1;
        rear_ = rear_ == degree - 1 ? 0 : rear_ + 1;
        return value;
    }

    // The whole state: the words and where the two taps stand. The front
    // tap always runs separation words ahead of the rear one.
    struct State {
        std::array<uint32_t, degree> words{};
        int32_t front = separation;
        int32_t rear = 0;
    };
    State state() const { return {words_, front_, rear_}; }
    // False (and nothing changed) for taps no generator can have.
    bool set_state(const State& state) {
        if (state.rear < 0 || state.rear >= degree ||
            state.front != (state.rear + separation) % degree) {
            return false;
        }
        words_ = state.words;
        front_ = state.front;
        rear_ = state.rear;
        return true;
    }

private:
    std::array<uint32_t, degree> words_{};
    int32_t front_ = separation;
    int32_t rear_ = 0;
};

}  // namespace tessavo
