// Model.compile: stores the optimizer and the loss, metric and monitor codes.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

PyObject* model_compile(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessavo
