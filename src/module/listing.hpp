// Model.get_nodes and Model.get_connections.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

// [(index, {"bias": float, "activation": str}), ...] in node order.
PyObject* model_get_nodes(PyObject* self, PyObject* unused);

// [(from, to, {"weight": float}), ...] row by row, every set link.
PyObject* model_get_connections(PyObject* self, PyObject* unused);

}  // namespace tessavo
