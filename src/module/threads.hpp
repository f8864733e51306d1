// tessavo.set_num_threads and tessavo.get_num_threads.
#pragma once

#include <Python.h>

namespace tessavo {

PyObject* module_set_num_threads(PyObject* module, PyObject* count);
PyObject* module_get_num_threads(PyObject* module, PyObject* unused);

}  // namespace tessavo
