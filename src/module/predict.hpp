// Prediction on NumPy arrays, shared by Model and Genome.
#pragma once

#include <cstdint>

#include "module/numpy.hpp"
#include "network/network.hpp"

namespace tessavo {

// True when the array's shape fits the model; false with ValueError set.
bool check_predict_shape(PyArrayObject* array, const char* name, bool recurrent, int32_t inputs);

// True for the verbose values Keras takes (0, 1, 2 and "auto"); false with
// TypeError or ValueError set. method names the caller in messages.
bool check_verbose(PyObject* verbose, const char* method);

// The body of predict(x, /, *, verbose="auto"): parses the arguments,
// checks, converts and runs the network. inputs, outputs and recurrent are
// the owner's attributes.
PyObject* predict_from_args(Network& network, PyObject* args, PyObject* kwargs, int32_t inputs,
                            int32_t outputs, bool recurrent);

}  // namespace tessavo
