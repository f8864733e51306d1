// Keras interchange: the entry points of Model.to_keras and from_keras.
// Keras is reached only through Python objects; it is imported on first
// use by the export, never when the module loads.
#pragma once

#include "module/numpy.hpp"

namespace tessavo {

// Model.to_keras(self, *ignored): the Keras functional model of a
// feed-forward model, or null with an exception set.
PyObject* model_to_keras(PyObject* self, PyObject* args);

// tessavo.from_keras(keras_model): a new, uncompiled Model read from a graph
// written by to_keras, or null with an exception set.
PyObject* module_from_keras(PyObject* module, PyObject* args);

}  // namespace tessavo
