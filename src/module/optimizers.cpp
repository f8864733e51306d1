#include "module/optimizers.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "module/describe.hpp"
#include "module/pickling.hpp"
#include "module/pyref.hpp"
#include "training/alpha.hpp"

namespace tessavo {

namespace {

int alpha_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"mutation_rate", nullptr};
    auto* alpha = reinterpret_cast<AlphaObject*>(self);
    alpha->mutation_rate = 0.5;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|d:Alpha", const_cast<char**>(keywords),
                                     &alpha->mutation_rate)) {
        return -1;
    }
    return 0;
}

void alpha_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyObject* beta_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) new (&reinterpret_cast<BetaObject*>(self)->settings) BetaSettings();
    return self;
}

int beta_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"mutation_power", "mutation_rate", "structure_rate",
                                     "species",        "elitism",       "keep_output_activations",
                                     nullptr};
    BetaSettings settings;
    int species = settings.species;
    int elitism = settings.elitism;
    int keep_outputs = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$dddiip:Beta", const_cast<char**>(keywords),
                                     &settings.mutation_power, &settings.mutation_rate,
                                     &settings.structure_rate, &species, &elitism, &keep_outputs)) {
        return -1;
    }
    settings.species = species;
    settings.elitism = elitism;
    settings.keep_output_activations = keep_outputs != 0;
    const std::string error = beta_settings_error(settings);
    if (!error.empty()) {
        PyErr_Format(PyExc_ValueError, "%s.", error.c_str());
        return -1;
    }
    reinterpret_cast<BetaObject*>(self)->settings = settings;
    return 0;
}

void beta_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyObject* gamma_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) new (&reinterpret_cast<GammaObject*>(self)->settings) GammaSettings();
    return self;
}

int gamma_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"step_size", "hidden_activation", "restarts", nullptr};
    GammaSettings settings;
    PyObject* hidden = nullptr;
    PyObject* restarts = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$dOO!:Gamma", const_cast<char**>(keywords),
                                     &settings.step_size, &hidden, &PyBool_Type, &restarts)) {
        return -1;
    }
    if (hidden && hidden != Py_None) {
        if (!PyUnicode_Check(hidden)) {
            PyErr_Format(PyExc_TypeError, "hidden_activation must be a str or None, got %s.",
                         Py_TYPE(hidden)->tp_name);
            return -1;
        }
        const char* name = PyUnicode_AsUTF8(hidden);
        if (!name) return -1;
        settings.hidden_activation = activation_code(name);
        if (settings.hidden_activation < 0) {
            PyErr_Format(PyExc_ValueError,
                         "hidden_activation must be \"sigmoid\", \"tanh\", \"relu\", "
                         "\"linear\" or None, got %R.",
                         hidden);
            return -1;
        }
    } else if (hidden == Py_None) {
        settings.hidden_activation = -1;
    }
    settings.restarts = restarts == Py_True;
    const std::string error = gamma_settings_error(settings);
    if (!error.empty()) {
        PyErr_Format(PyExc_ValueError, "%s.", error.c_str());
        return -1;
    }
    reinterpret_cast<GammaObject*>(self)->settings = settings;
    return 0;
}

void gamma_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyMethodDef gamma_methods[] = {
    {"__reduce__", gamma_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nHelper for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef beta_methods[] = {
    {"__reduce__", beta_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nHelper for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef alpha_methods[] = {
    {"__reduce__", alpha_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nHelper for pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef optimizer_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef optimizers_definition = {
    PyModuleDef_HEAD_INIT,
    "tessavo.optimizers",
    "Optimizers.",
    -1,
    optimizer_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool ready_alpha_type() {
    AlphaType.tp_name = "tessavo.optimizers.Alpha";
    AlphaType.tp_basicsize = sizeof(AlphaObject);
    AlphaType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    AlphaType.tp_doc = "Alpha(mutation_rate=0.5)\n--\n\nThe first optimizer in Tessavo.";
    AlphaType.tp_new = PyType_GenericNew;
    AlphaType.tp_init = alpha_init;
    AlphaType.tp_repr = alpha_repr;
    AlphaType.tp_dealloc = alpha_dealloc;
    AlphaType.tp_methods = alpha_methods;
    return PyType_Ready(&AlphaType) == 0;
}

bool ready_beta_type() {
    BetaType.tp_name = "tessavo.optimizers.Beta";
    BetaType.tp_basicsize = sizeof(BetaObject);
    BetaType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    BetaType.tp_doc =
        "Beta(*, mutation_power=1.0, mutation_rate=0.2, structure_rate=0.2, species=6, "
        "elitism=1, keep_output_activations=False)\n--\n\n"
        "Species of networks bred by additive perturbations with adaptive step sizes.\n\n"
        "Each species keeps its champions and breeds its other children from its best "
        "members; every network carries its own step size, which its children vary. A "
        "generation scores pop_size networks. Use it for control tasks, for fitting "
        "datasets and for fine-tuning a trained network: it solved XOR, double pole balancing "
        "with velocities and CartPole-v1 with fewer networks than Alpha.";
    BetaType.tp_new = beta_new;
    BetaType.tp_init = beta_init;
    BetaType.tp_repr = beta_repr;
    BetaType.tp_dealloc = beta_dealloc;
    BetaType.tp_methods = beta_methods;
    return PyType_Ready(&BetaType) == 0;
}

bool ready_gamma_type() {
    GammaType.tp_name = "tessavo.optimizers.Gamma";
    GammaType.tp_basicsize = sizeof(GammaObject);
    GammaType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    GammaType.tp_doc =
        "Gamma(*, step_size=1.0, hidden_activation='tanh', restarts=True)\n--\n\n"
        "An evolution strategy over the weights and biases of a fixed topology.";
    GammaType.tp_new = gamma_new;
    GammaType.tp_init = gamma_init;
    GammaType.tp_repr = gamma_repr;
    GammaType.tp_dealloc = gamma_dealloc;
    GammaType.tp_methods = gamma_methods;
    return PyType_Ready(&GammaType) == 0;
}

// The registration of every optimizer type: its name for compile(optimizer=...),
// its name in the submodule, how its type is readied, its run strategy and
// its line in Model.summary.
struct OptimizerKind {
    const char* name;
    const char* attribute;
    PyTypeObject* type;
    bool (*ready)();
    OptimizerFactory (*strategy)(PyObject* object);
    std::string (*summary)(PyObject* object);
};

constexpr OptimizerKind optimizer_kinds[] = {
    {"alpha", "Alpha", &AlphaType, ready_alpha_type, [](PyObject*) { return alpha_optimizer(); },
     alpha_summary},
    {"beta", "Beta", &BetaType, ready_beta_type,
     [](PyObject* object) {
         return beta_optimizer(reinterpret_cast<BetaObject*>(object)->settings);
     },
     beta_summary},
    {"gamma", "Gamma", &GammaType, ready_gamma_type,
     [](PyObject* object) {
         return gamma_optimizer(reinterpret_cast<GammaObject*>(object)->settings);
     },
     gamma_summary},
};

}  // namespace

PyTypeObject AlphaType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject BetaType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject GammaType = {PyVarObject_HEAD_INIT(nullptr, 0)};

const BetaSettings* beta_settings_of(PyObject* optimizer) {
    if (!optimizer || !PyObject_TypeCheck(optimizer, &BetaType)) return nullptr;
    return &reinterpret_cast<BetaObject*>(optimizer)->settings;
}

OptimizerFactory optimizer_strategy(PyObject* optimizer) {
    if (optimizer) {
        for (const OptimizerKind& kind : optimizer_kinds) {
            if (PyObject_TypeCheck(optimizer, kind.type)) return kind.strategy(optimizer);
        }
    }
    return {};
}

std::string optimizer_summary(PyObject* optimizer) {
    if (optimizer) {
        for (const OptimizerKind& kind : optimizer_kinds) {
            if (PyObject_TypeCheck(optimizer, kind.type)) return kind.summary(optimizer);
        }
    }
    return "?";
}

bool is_optimizer(PyObject* object) {
    for (const OptimizerKind& kind : optimizer_kinds) {
        if (PyObject_TypeCheck(object, kind.type)) return true;
    }
    return false;
}

PyObject* PyInit_optimizers() {
    for (const OptimizerKind& kind : optimizer_kinds) {
        // A row with a missing entry would crash at its first use. (Checked
        // here: under the sanitizers these addresses are no constants.)
        if (!kind.name || !kind.attribute || !kind.type || !kind.ready || !kind.strategy ||
            !kind.summary) {
            PyErr_SetString(PyExc_SystemError, "An optimizer is registered incompletely.");
            return nullptr;
        }
        if (!kind.ready()) return nullptr;
    }
    PyObject* module = PyModule_Create(&optimizers_definition);
    if (!module) return nullptr;
    for (const OptimizerKind& kind : optimizer_kinds) {
        if (!add_type(module, kind.attribute, kind.type)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

PyObject* optimizer_by_name(std::string_view name) {
    for (const OptimizerKind& kind : optimizer_kinds) {
        if (name == kind.name) return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(kind.type));
    }
    return nullptr;
}

}  // namespace tessavo
