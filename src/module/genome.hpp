// The tessavo.Genome object: a copy of one network that can only predict.
#pragma once

#include <cstdint>

#include "module/numpy.hpp"
#include "network/network.hpp"

namespace tessavo {

struct GenomeObject {
    PyObject_HEAD Network network;
    int32_t inputs;
    int32_t outputs;
    bool recurrent;
};

extern PyTypeObject GenomeType;

// Readies the type; false with an exception set.
bool ready_genome_type();

// Calls the Genome type with the network's dimensions and recurrent flag,
// then installs a plain copy of the network. Null with an exception set.
PyObject* make_genome(const Network& network);

}  // namespace tessavo
