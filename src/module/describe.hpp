// What a user sees when printing objects: repr of Model, Genome and the
// optimizers, Model.summary and the DOT drawings of Model and Genome.
#pragma once

#include <string>

#include "module/numpy.hpp"

namespace tessavo {

PyObject* model_repr(PyObject* self);
PyObject* genome_repr(PyObject* self);
PyObject* alpha_repr(PyObject* self);
PyObject* beta_repr(PyObject* self);
PyObject* gamma_repr(PyObject* self);

// The optimizers in Model.summary: "Alpha(mutation_rate=0.5)".
std::string alpha_summary(PyObject* self);
std::string beta_summary(PyObject* self);
std::string gamma_summary(PyObject* self);

// Graphviz DOT text of the network: to_dot(*, show_weights=False, rankdir="LR").
PyObject* model_to_dot(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* genome_to_dot(PyObject* self, PyObject* args, PyObject* kwargs);

// Writes a table of the network and the compile settings to sys.stdout.
PyObject* model_summary(PyObject* self, PyObject*);

}  // namespace tessavo
