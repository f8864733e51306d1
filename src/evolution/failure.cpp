#include "evolution/failure.hpp"

#include <cstdio>

namespace tessavo {

void report_broken_network(const char* line) {
    std::printf("%s\n", line);
    throw BrokenNetwork(line);
}

}  // namespace tessavo
