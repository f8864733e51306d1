// Model.evaluate: the compiled loss and metrics of the model on a dataset.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

PyObject* model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessavo
