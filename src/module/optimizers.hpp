// The optimizers submodule and its types, Alpha and Beta.
#pragma once

#include <string_view>

#include "module/numpy.hpp"
#include "training/beta.hpp"

namespace tessavo {

struct AlphaObject {
    PyObject_HEAD
        // Stored for the user; evolution uses fixed probabilities.
        double mutation_rate;
};

extern PyTypeObject AlphaType;

struct BetaObject {
    PyObject_HEAD BetaSettings settings;
};

extern PyTypeObject BetaType;

// The settings of a Beta optimizer; null for anything else (Alpha).
const BetaSettings* beta_settings_of(PyObject* optimizer);

// True for an instance of one of the optimizer types.
bool is_optimizer(PyObject* object);

// Creates the submodule "tessavo.optimizers" holding both types; null with an
// exception set.
PyObject* PyInit_optimizers();

// A new optimizer for a known name ("alpha" gives Alpha(), "beta" Beta()); null without an
// exception when the name is unknown, null with one when creation fails.
PyObject* optimizer_by_name(std::string_view name);

}  // namespace tessavo
