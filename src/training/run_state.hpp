// The byte stream a run's state is written to and read back from: plain
// little-endian values, appended in order and read in the same order.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace tessavo {

// A state that cannot be read: truncated, or not what the reader expects.
struct StateError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class StateWriter {
public:
    void bytes(const void* data, std::size_t count) {
        const auto* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + count);
    }
    // An integer, a double or a bool, in this machine's (little-endian) layout.
    template <class T>
    requires std::is_arithmetic_v<T>
    void value(T v) { bytes(&v, sizeof v); }
    template <class T>
    requires std::is_arithmetic_v<T>
    void values(const std::vector<T>& v) {
        value<uint64_t>(v.size());
        bytes(v.data(), v.size() * sizeof(T));
    }
    const std::vector<uint8_t>& data() const { return out_; }

private:
    std::vector<uint8_t> out_;
};

class StateReader {
public:
    StateReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    void bytes(void* out, std::size_t count) {
        if (count > size_ - at_) throw StateError("the run state ends early");
        std::memcpy(out, data_ + at_, count);
        at_ += count;
    }
    template <class T>
    requires std::is_arithmetic_v<T> T value() {
        T v;
        bytes(&v, sizeof v);
        return v;
    }
    // A vector of at most limit entries.
    template <class T>
    requires std::is_arithmetic_v<T> std::vector<T> values(uint64_t limit) {
        const auto count = value<uint64_t>();
        if (count > limit || count > (size_ - at_) / sizeof(T)) {
            throw StateError("the run state holds a list longer than it can");
        }
        std::vector<T> v(static_cast<std::size_t>(count));
        bytes(v.data(), v.size() * sizeof(T));
        return v;
    }
    bool at_end() const { return at_ == size_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace tessavo
