// The three random sources of evolution: a fresh engine per draw seeded from
// the random device, the network's own engine, and the C library's rand().
#pragma once

#include "random/engine.hpp"
#include "random/sources.hpp"

namespace tessavo {

struct Network;

// N(0, 1) from the network's engine; keeps no partner variate.
double network_normal(Network& network);

}  // namespace tessavo
