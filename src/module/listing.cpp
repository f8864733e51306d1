#include "module/listing.hpp"

#include "module/model.hpp"
#include "module/pyref.hpp"

namespace tessavo {

PyObject* model_get_nodes(PyObject* self, PyObject*) {
    const Network& network = reinterpret_cast<ModelObject*>(self)->network;
    PyRef list(PyList_New(network.size));
    if (!list) return nullptr;
    for (int32_t i = 0; i < network.size; ++i) {
        const int32_t code = network.activations[i];
        // A code without a name (never after a checked load) is listed as None.
        const char* name = code >= 0 && code < activation_count ? activation_names[code] : nullptr;
        PyObject* item =
            Py_BuildValue("(i,{s:d,s:s})", i, "bias", network.biases[i], "activation", name);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

PyObject* model_get_connections(PyObject* self, PyObject*) {
    const Network& network = reinterpret_cast<ModelObject*>(self)->network;
    const int32_t n = network.size;
    Py_ssize_t count = 0;
    for (int32_t from = 0; from < n; ++from) {
        for (int32_t to = 0; to < n; ++to) count += has_link(network, from, to) ? 1 : 0;
    }
    PyRef list(PyList_New(count));
    if (!list) return nullptr;
    Py_ssize_t next = 0;
    for (int32_t from = 0; from < n; ++from) {
        for (int32_t to = 0; to < n; ++to) {
            if (!has_link(network, from, to)) continue;
            PyObject* item =
                Py_BuildValue("(i,i,{s:d})", from, to, "weight", weight(network, from, to));
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), next++, item);
        }
    }
    return list.release();
}

}  // namespace tessavo
