// What a user sees when printing objects: repr of Model, Genome and the
// optimizers,
// and Model.summary.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

PyObject* model_repr(PyObject* self);
PyObject* genome_repr(PyObject* self);
PyObject* alpha_repr(PyObject* self);
PyObject* beta_repr(PyObject* self);

// Writes a table of the network and the compile settings to sys.stdout.
PyObject* model_summary(PyObject* self, PyObject*);

}  // namespace tessavo
