// Model.func_evolve: evolves the model's network on a score computed in Python.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

PyObject* model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessavo
