// tessavo.set_random_seed.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

PyObject* module_set_random_seed(PyObject* module, PyObject* seed);

}  // namespace tessavo
