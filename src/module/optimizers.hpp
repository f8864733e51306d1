// The optimizers submodule and its one type, Alpha.
#pragma once

#include <string_view>

#include "module/numpy.hpp"

namespace tessavo {

struct AlphaObject {
    PyObject_HEAD
        // Stored for the user; evolution uses fixed probabilities.
        double mutation_rate;
};

extern PyTypeObject AlphaType;

// Creates the submodule "tessavo.optimizers" holding Alpha; null with an
// exception set.
PyObject* PyInit_optimizers();

// A new optimizer for a known name ("alpha" gives Alpha()); null without an
// exception when the name is unknown, null with one when creation fails.
PyObject* optimizer_by_name(std::string_view name);

}  // namespace tessavo
