#include "evolution/random.hpp"

#include "network/network.hpp"

namespace tessavo {

double network_normal(Network& network) { return polar_step(network.rng).first; }

}  // namespace tessavo
