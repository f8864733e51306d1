// Model.save and tessavo.load: the ".tv" file entry points.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

// Model.save(location): positional str only; None, or null with OSError.
PyObject* model_save(PyObject* self, PyObject* args);

// tessavo.load(location): a new, uncompiled Model; null with OSError or
// ValueError (malformed file).
PyObject* module_load(PyObject* module, PyObject* args);

}  // namespace tessavo
