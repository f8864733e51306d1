#include "evolution/failure.hpp"

#include <string>

#include "progress/console.hpp"

namespace tessavo {

void report_broken_network(const char* line) {
    console_write(std::string(line) + "\n");
    throw BrokenNetwork(line);
}

}  // namespace tessavo
