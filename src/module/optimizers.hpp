// The optimizers submodule and its types, Alpha, Beta and Gamma. Each type is
// registered once in optimizers.cpp with its name and its run strategy.
#pragma once

#include <string>
#include <string_view>

#include "module/numpy.hpp"
#include "training/beta.hpp"
#include "training/gamma.hpp"
#include "training/optimizer.hpp"

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

struct GammaObject {
    PyObject_HEAD GammaSettings settings;
};

extern PyTypeObject GammaType;

// The settings of a Beta optimizer; null for anything else (Alpha).
const BetaSettings* beta_settings_of(PyObject* optimizer);

// The run strategy of an optimizer object, with the settings it holds now
// (a run does not see later changes to the object); empty (Alpha) for
// anything that is not an optimizer.
OptimizerFactory optimizer_strategy(PyObject* optimizer);

// How Model.summary shows an optimizer object; "?" for anything else.
std::string optimizer_summary(PyObject* optimizer);

// True for an instance of one of the optimizer types.
bool is_optimizer(PyObject* object);

// Creates the submodule "tessavo.optimizers" holding the types; null with an
// exception set.
PyObject* PyInit_optimizers();

// A new optimizer for a known name ("alpha" gives Alpha(), "beta" Beta(), "gamma" Gamma()); null
// without an exception when the name is unknown, null with one when creation fails.
PyObject* optimizer_by_name(std::string_view name);

}  // namespace tessavo
