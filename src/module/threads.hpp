// tessavo.set_num_threads and tessavo.get_num_threads, and a probe for the
// scaling benchmark.
#pragma once

#include <Python.h>

namespace tessavo {

PyObject* module_set_num_threads(PyObject* module, PyObject* count);
PyObject* module_get_num_threads(PyObject* module, PyObject* unused);
// For benchmarks: CPU seconds spent in work the pool shares out.
PyObject* module_pool_seconds(PyObject* module, PyObject* unused);

}  // namespace tessavo
