// Pickling and copying of Model, Genome and the optimizers: __reduce__ hands pickle a
// state in bytes (the network in the ".tv" layout and what the file leaves
// out), and tessavo._core._restore rebuilds the object from it.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

PyObject* model_reduce(PyObject* self, PyObject*);
PyObject* genome_reduce(PyObject* self, PyObject*);
PyObject* alpha_reduce(PyObject* self, PyObject*);
PyObject* beta_reduce(PyObject* self, PyObject*);
PyObject* gamma_reduce(PyObject* self, PyObject*);

// _restore(cls, state, optimizer=None): a new cls object from a state made
// by __reduce__; ValueError for a state that is damaged or of another type.
PyObject* module_restore(PyObject* module, PyObject* args);

}  // namespace tessavo
