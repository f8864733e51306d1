#include "module/model.hpp"

#include <structmember.h>

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "module/compile.hpp"
#include "module/describe.hpp"
#include "module/evaluate.hpp"
#include "module/evolve.hpp"
#include "module/func_evolve.hpp"
#include "module/keras.hpp"
#include "module/listing.hpp"
#include "module/modelfile_binding.hpp"
#include "module/pickling.hpp"
#include "module/predict.hpp"
#include "module/pyref.hpp"
#include "module/seeding.hpp"
#include "random/sources.hpp"

namespace tessavo {

namespace {

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* model = reinterpret_cast<ModelObject*>(self);
    // tp_alloc zero-fills; the C++ members still need constructing.
    new (&model->network) Network();
    new (&model->codes) std::vector<int32_t>();
    new (&model->monitors) std::vector<int32_t>();
    return self;
}

void model_dealloc(PyObject* self) {
    auto* model = reinterpret_cast<ModelObject*>(self);
    model->network.~Network();
    model->codes.~vector();
    model->monitors.~vector();
    Py_CLEAR(model->optimizer);
    Py_CLEAR(model->best_genome);
    Py_TYPE(self)->tp_free(self);
}

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"inputs", "outputs",           "size", "recurrent",
                                     "seed",   "output_activation", nullptr};
    int inputs = 0, outputs = 0, size = -1, recurrent = 0;
    PyObject* seed_argument = Py_None;
    PyObject* activation_argument = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|ip$OO", const_cast<char**>(keywords),
                                     &inputs, &outputs, &size, &recurrent, &seed_argument,
                                     &activation_argument)) {
        return -1;
    }
    std::optional<uint64_t> seed;
    if (!parse_seed(seed_argument, seed)) return -1;
    int32_t output_activation = -1;
    if (activation_argument != Py_None) {
        if (!PyUnicode_Check(activation_argument)) {
            PyErr_Format(PyExc_TypeError, "output_activation must be None or a str, got %s.",
                         Py_TYPE(activation_argument)->tp_name);
            return -1;
        }
        const char* name = PyUnicode_AsUTF8(activation_argument);
        if (name == nullptr) return -1;
        output_activation = activation_code(name);
        if (output_activation < 0) {
            PyErr_Format(PyExc_ValueError,
                         "output_activation must be None, 'sigmoid', 'tanh', 'relu' or "
                         "'linear', got %R.",
                         activation_argument);
            return -1;
        }
    }
    if (inputs < 0 || outputs < 0) {
        PyErr_Format(PyExc_ValueError, "inputs and outputs must not be negative (got %d and %d).",
                     inputs, outputs);
        return -1;
    }
    const long long minimum = static_cast<long long>(inputs) + outputs;
    if (minimum > std::numeric_limits<int32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "inputs + outputs is too large.");
        return -1;
    }
    if (size != -1 && size < minimum) {
        PyErr_Format(PyExc_ValueError,
                     "size must be -1 or at least inputs + outputs (%lld), got %d.", minimum, size);
        return -1;
    }
    auto* model = reinterpret_cast<ModelObject*>(self);
    try {
        check_fits_in_memory(size == -1 ? static_cast<int32_t>(minimum) : size);
        // Built aside, so that a failure leaves a live model as it was.
        std::optional<SeededDraws> draws;
        if (seed) draws.emplace(*seed, seeded_model_purpose);
        Network network(inputs, outputs, recurrent != 0);
        if (size != -1) resize(network, size);
        randomize_dense(network);
        // Set after the draws, so that the other nodes are those of a model
        // made without it.
        if (output_activation >= 0) {
            for (int32_t i = network.size - outputs; i < network.size; ++i) {
                network.activations[static_cast<std::size_t>(i)] = output_activation;
            }
        }
        model->network = std::move(network);
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
    model->inputs = inputs;
    model->outputs = outputs;
    model->recurrent = recurrent != 0;
    model->compiled = false;
    model->size = model->network.size;
    return 0;
}

// After the switch to feed-forward, a node whose only links were self or
// backward ones has no way in or out, and evolution's structural check
// refuses such a network. A weight-0 forward link gives it one without
// changing any output: from node 0 (an input) into a node without a
// source, and from a node without a target into the first output.
void reconnect_stranded(Network& n) {
    const int32_t first_output = n.size - n.outputs;
    for (int32_t node = std::max(n.inputs, 1); node < n.size && first_output > 0; ++node) {
        bool fed = false;
        for (int32_t from = 0; from < node && !fed; ++from) fed = has_link(n, from, node);
        if (!fed) set_link(n, 0, node, 0.0);
    }
    for (int32_t node = 0; node < first_output && n.outputs > 0; ++node) {
        bool feeds = false;
        for (int32_t to = node + 1; to < n.size && !feeds; ++to) feeds = has_link(n, node, to);
        if (!feeds) set_link(n, node, first_output, 0.0);
    }
}

PyObject* get_recurrent(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<ModelObject*>(self)->recurrent);
}

int set_recurrent(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "The recurrent attribute must be a boolean.");
        return -1;
    }
    auto* model = reinterpret_cast<ModelObject*>(self);
    const bool was_recurrent = model->network.recurrent;
    model->recurrent = value == Py_True;
    model->network.recurrent = model->recurrent;
    // A feed-forward network keeps no self or backward connection: neither
    // the forward pass nor the file would, so listing, saving, pickling and
    // evolution all see the same network.
    drop_disallowed_links(model->network);
    if (was_recurrent && !model->recurrent) reconnect_stranded(model->network);
    return 0;
}

PyObject* model_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* model = reinterpret_cast<ModelObject*>(self);
    return predict_from_args(model->network, args, kwargs, model->inputs, model->outputs,
                             model->recurrent);
}

// Keras's own callbacks that need a Keras model are refused before a run,
// with what to use instead, rather than failing deep inside Keras.
bool check_keras_callbacks(PyObject* kwargs) {
    PyObject* callbacks = kwargs ? PyDict_GetItemString(kwargs, "callbacks") : nullptr;
    if (!callbacks || !PyList_Check(callbacks) || PyList_GET_SIZE(callbacks) == 0) return true;
    PyRef module(PyImport_ImportModule("tessavo.callbacks"));
    if (!module) return false;
    PyRef result(PyObject_CallMethod(module.get(), "_check_callbacks", "O", callbacks));
    return static_cast<bool>(result);
}

PyObject* model_evolve_checked(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!check_keras_callbacks(kwargs)) return nullptr;
    return model_evolve(self, args, kwargs);
}

PyObject* model_func_evolve_checked(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!check_keras_callbacks(kwargs)) return nullptr;
    return model_func_evolve(self, args, kwargs);
}

PyObject* model_clear(PyObject* self, PyObject*) {
    clear_state(reinterpret_cast<ModelObject*>(self)->network);
    Py_RETURN_NONE;
}

PyMethodDef model_methods[] = {
    {"evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_evolve_checked)),
     METH_VARARGS | METH_KEYWORDS,
     "evolve($self, x_train, y_train, pop_size=100, batch_size=-1, epochs=100, "
     "validation_data=None, verbose=1, *, callbacks=None, seed=None)\n--\n\nEvolves the network on "
     "a given dataset."},
    {"func_evolve",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_func_evolve_checked)),
     METH_VARARGS | METH_KEYWORDS,
     "func_evolve($self, train_func, pop_size=100, epochs=100, verbose=1, validation_func=None, "
     "*, callbacks=None, seed=None)\n--\n\nEvolves the network on a given fitness function."},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_predict)),
     METH_VARARGS | METH_KEYWORDS,
     "predict($self, x, /, *, verbose='auto')\n--\n\nPredict the the outputs for a given set of "
     "samples."},
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_evaluate)),
     METH_VARARGS | METH_KEYWORDS,
     "evaluate($self, x, y, /, *, verbose='auto')\n--\n\nEvaluate the the network based on "
     "the compiled losses/metrics on a given dataset."},
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_compile)),
     METH_VARARGS | METH_KEYWORDS,
     "compile($self, optimizer='alpha', loss='', metrics=[], monitors=[])\n--\n\nConfigure the "
     "losses, "
     "metrics and monitors for evolution. For `model.evolve_func`, losses and metrics are "
     "optional."},
    {"get_nodes", model_get_nodes, METH_NOARGS,
     "get_nodes($self, /)\n--\n\nReturns a list of nodes contained in the network."},
    {"get_connections", model_get_connections, METH_NOARGS,
     "get_connections($self, /)\n--\n\nReturns a list of connections contained in the network."},
    {"to_dot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_to_dot)),
     METH_VARARGS | METH_KEYWORDS,
     "to_dot($self, /, *, show_weights=False, rankdir='LR')\n--\n\nThe network as Graphviz DOT "
     "text."},
    {"to_keras", model_to_keras, METH_VARARGS,
     "to_keras($self, /)\n--\n\nConvert the Tessavo model to a Keras model."},
    {"save", model_save, METH_VARARGS,
     "save($self, path, /)\n--\n\nSaves the model using the '.tv' format."},
    {"clear", model_clear, METH_NOARGS,
     "clear($self, /)\n--\n\nClears the recurrent state of the model, preparing it for a new "
     "sequence of inputs."},
    {"__reduce__", model_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nHelper for pickle and copy."},
    {"summary", model_summary, METH_NOARGS,
     "summary($self, /)\n--\n\nPrints a summary of the network and its compile settings."},
    {nullptr, nullptr, 0, nullptr},
};

// The object holds C++ members, so it is not standard-layout; offsetof of
// the plain int fields is still well defined on this compiler.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef model_members[] = {
    {"size", T_INT, offsetof(ModelObject, size), READONLY,
     "Total number of nodes in the model (including inputs and outputs)."},
    {"inputs", T_INT, offsetof(ModelObject, inputs), READONLY,
     "The number of inputs of the model."},
    {"outputs", T_INT, offsetof(ModelObject, outputs), READONLY,
     "The number of outputs of the model."},
    {"stop_training", T_BOOL, offsetof(ModelObject, stop_training), 0,
     "Set to True during evolve or func_evolve (from a callback, for instance) to end the run "
     "after the current epoch."},
    {"best_genome", T_OBJECT, offsetof(ModelObject, best_genome), READONLY,
     "During evolve or func_evolve with callbacks, a Genome of the best network of the last "
     "finished epoch; None otherwise."},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyGetSetDef model_getset[] = {
    {"recurrent", get_recurrent, set_recurrent, "Returns whether the network is recurrent or not.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ModelType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_model_type() {
    ModelType.tp_name = "tessavo.Model";
    ModelType.tp_basicsize = sizeof(ModelObject);
    ModelType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    // The signature line gives inspect.signature(Model); __doc__ is the rest.
    ModelType.tp_doc =
        "Model(inputs, outputs, size=-1, recurrent=False, *, seed=None, output_activation=None)\n"
        "--\n\n"
        "A Tessavo model that can be evolved on datasets and fitness functions.";
    ModelType.tp_new = model_new;
    ModelType.tp_init = model_init;
    ModelType.tp_repr = model_repr;
    ModelType.tp_dealloc = model_dealloc;
    ModelType.tp_methods = model_methods;
    ModelType.tp_members = model_members;
    ModelType.tp_getset = model_getset;
    return PyType_Ready(&ModelType) == 0;
}

PyObject* make_model(Network&& network, bool pass_recurrent) {
    PyRef args(Py_BuildValue("(ii)", network.inputs, network.outputs));
    if (!args) return nullptr;
    PyRef kwargs;
    if (pass_recurrent) {
        kwargs = PyRef(Py_BuildValue("{s:O}", "recurrent", network.recurrent ? Py_True : Py_False));
        if (!kwargs) return nullptr;
    }
    PyRef model(PyObject_Call(reinterpret_cast<PyObject*>(&ModelType), args.get(), kwargs.get()));
    if (!model) return nullptr;
    auto* object = reinterpret_cast<ModelObject*>(model.get());
    object->network = std::move(network);
    object->size = object->network.size;
    return model.release();
}

bool check_evolvable(const ModelObject* model) {
    if (model->inputs == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "A model without inputs cannot be evolved: its outputs would not depend "
                        "on any data.");
        return false;
    }
    if (model->outputs == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "A model without outputs cannot be evolved: it has nothing to score.");
        return false;
    }
    return true;
}

bool install_trained_network(ModelObject* model, Network&& network) {
    if (model->inputs != network.inputs || model->outputs != network.outputs ||
        model->recurrent != network.recurrent) {
        PyErr_SetString(PyExc_RuntimeError,
                        "The model was changed while it was evolving; it was not updated.");
        return false;
    }
    model->network = std::move(network);
    model->size = model->network.size;
    return true;
}

}  // namespace tessavo
