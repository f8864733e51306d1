#include "module/genome.hpp"

#include <structmember.h>

#include <new>

#include "module/describe.hpp"
#include "module/model.hpp"
#include "module/pickling.hpp"
#include "module/predict.hpp"
#include "module/pyref.hpp"

namespace tessavo {

namespace {

PyObject* genome_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&reinterpret_cast<GenomeObject*>(self)->network) Network();
    return self;
}

void genome_dealloc(PyObject* self) {
    reinterpret_cast<GenomeObject*>(self)->network.~Network();
    Py_TYPE(self)->tp_free(self);
}

int genome_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"inputs", "outputs", "recurrent", nullptr};
    int inputs = 0, outputs = 0, recurrent = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|p", const_cast<char**>(keywords), &inputs,
                                     &outputs, &recurrent)) {
        return -1;
    }
    if (inputs < 0 || outputs < 0) {
        PyErr_Format(PyExc_ValueError, "inputs and outputs must not be negative (got %d and %d).",
                     inputs, outputs);
        return -1;
    }
    auto* genome = reinterpret_cast<GenomeObject*>(self);
    genome->inputs = inputs;
    genome->outputs = outputs;
    genome->recurrent = recurrent != 0;
    return 0;
}

PyObject* genome_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* genome = reinterpret_cast<GenomeObject*>(self);
    return predict_from_args(genome->network, args, kwargs, genome->inputs, genome->outputs,
                             genome->recurrent);
}

PyObject* genome_clear(PyObject* self, PyObject*) {
    clear_state(reinterpret_cast<GenomeObject*>(self)->network);
    Py_RETURN_NONE;
}

PyMethodDef genome_methods[] = {
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(genome_predict)),
     METH_VARARGS | METH_KEYWORDS,
     "predict($self, x, /, *, verbose='auto')\n--\n\nPredict the the outputs for a given set of "
     "samples."},
    {"clear", genome_clear, METH_NOARGS,
     "clear($self, /)\n--\n\nClears the recurrent state of the genome, preparing it for a new "
     "sequence of inputs."},
    {"to_dot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(genome_to_dot)),
     METH_VARARGS | METH_KEYWORDS,
     "to_dot($self, /, *, show_weights=False, rankdir='LR')\n--\n\nThe network as Graphviz DOT "
     "text."},
    {"__reduce__", genome_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nHelper for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

// Not standard-layout because of the network; offsetof of plain fields is
// still well defined on this compiler.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef genome_members[] = {
    {"inputs", T_INT, offsetof(GenomeObject, inputs), READONLY,
     "The number of inputs of the model."},
    {"outputs", T_INT, offsetof(GenomeObject, outputs), READONLY,
     "The number of outputs of the model."},
    {"recurrent", T_BOOL, offsetof(GenomeObject, recurrent), READONLY,
     "If the model is recurrent or not."},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

}  // namespace

PyTypeObject GenomeType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_genome_type() {
    GenomeType.tp_name = "tessavo.Genome";
    GenomeType.tp_basicsize = sizeof(GenomeObject);
    GenomeType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    GenomeType.tp_doc =
        "Genome(inputs, outputs, recurrent=False)\n--\n\n"
        "A lightweight Tessavo model that can only be used for predictions.";
    GenomeType.tp_new = genome_new;
    GenomeType.tp_init = genome_init;
    GenomeType.tp_repr = genome_repr;
    GenomeType.tp_dealloc = genome_dealloc;
    GenomeType.tp_methods = genome_methods;
    GenomeType.tp_members = genome_members;
    return PyType_Ready(&GenomeType) == 0;
}

PyObject* make_genome(const Network& network) {
    PyRef args(Py_BuildValue("(ii)", network.inputs, network.outputs));
    if (!args) return nullptr;
    PyRef kwargs(Py_BuildValue("{s:O}", "recurrent", network.recurrent ? Py_True : Py_False));
    if (!kwargs) return nullptr;
    PyRef genome(PyObject_Call(reinterpret_cast<PyObject*>(&GenomeType), args.get(), kwargs.get()));
    if (!genome) return nullptr;
    try {
        reinterpret_cast<GenomeObject*>(genome.get())->network = network;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    return genome.release();
}

}  // namespace tessavo
