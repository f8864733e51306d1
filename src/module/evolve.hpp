// Model.evolve: trains the model's network on a labelled dataset.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

PyObject* model_evolve(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessavo
