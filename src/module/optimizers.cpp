#include "module/optimizers.hpp"

#include "module/describe.hpp"
#include "module/pickling.hpp"

namespace tessavo {

namespace {

const char* const optimizer_names[] = {"alpha"};

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

}  // namespace

PyTypeObject AlphaType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* PyInit_optimizers() {
    if (!ready_alpha_type()) return nullptr;
    PyObject* module = PyModule_Create(&optimizers_definition);
    if (!module) return nullptr;
    Py_INCREF(&AlphaType);
    if (PyModule_AddObject(module, "Alpha", reinterpret_cast<PyObject*>(&AlphaType)) < 0) {
        Py_DECREF(&AlphaType);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

PyObject* optimizer_by_name(std::string_view name) {
    if (name == optimizer_names[0]) {
        return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&AlphaType));
    }
    return nullptr;
}

}  // namespace tessavo
