// The tessavo.Model object and the entry points of its methods.
#pragma once

#include <cstdint>
#include <vector>

#include "module/numpy.hpp"
#include "network/network.hpp"

namespace tessavo {

struct ModelObject {
    PyObject_HEAD int32_t size;
    Network network;
    int32_t inputs;
    int32_t outputs;
    bool compiled;
    bool loss_set;
    bool recurrent;
    std::vector<int32_t> codes;
    std::vector<int32_t> monitors;
    PyObject* optimizer;
    // Set by callbacks (or any code) during a run to end it after the epoch.
    bool stop_training;
    // During a run with callbacks, the last epoch's best network; else null.
    PyObject* best_genome;
};

extern PyTypeObject ModelType;

// Readies the type; false with an exception set.
bool ready_model_type();

// Creates a Model by calling the type with (inputs, outputs) and, when
// given, the keyword recurrent; then installs the network (moved in, every
// field kept) and sets size. Null with an exception set.
PyObject* make_model(Network&& network, bool pass_recurrent);

// The last step of a completed training run: the trained network replaces
// the model's and size follows it. Training runs Python code (signal
// handlers, callbacks) that may have rebuilt the model; a network that no
// longer fits it is refused with RuntimeError and the model stays as it is.
bool install_trained_network(ModelObject* model, Network&& network);

// evolve and func_evolve need a model with inputs and outputs: true, or
// false with ValueError set.
bool check_evolvable(const ModelObject* model);

// Converts C++ failures inside an entry point into Python exceptions.
void set_error_from_current_exception();

}  // namespace tessavo
