#pragma once

#include <stdexcept>

namespace tessavo {

// An evolution operator left a network invalid. what() is the console line
// that was written; the training call that ran the operator ends with it.
class BrokenNetwork : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace tessavo

namespace tessavo {

// Writes the line and a line feed to the console (console.hpp), then throws
// BrokenNetwork carrying the line.
[[noreturn]] void report_broken_network(const char* line);

}  // namespace tessavo
