#include "module/listing.hpp"

#include <algorithm>
#include <vector>

#include "module/model.hpp"
#include "module/pyref.hpp"

namespace tessavo {

// The network is read in full before any Python object is made: making one
// can run a garbage collection, whose callbacks may rebuild the model.

PyObject* model_get_nodes(PyObject* self, PyObject*) {
    std::vector<double> biases;
    std::vector<int32_t> codes;
    try {
        const Network& network = reinterpret_cast<ModelObject*>(self)->network;
        biases = network.biases;
        codes = network.activations;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    const auto count = static_cast<Py_ssize_t>(std::min(biases.size(), codes.size()));
    PyRef list(PyList_New(count));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int32_t code = codes[i];
        // A code without a name (never after a checked load) is listed as None.
        const char* name = code >= 0 && code < activation_count ? activation_names[code] : nullptr;
        PyObject* item = Py_BuildValue("(n,{s:d,s:s})", i, "bias", biases[i], "activation", name);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

PyObject* model_get_connections(PyObject* self, PyObject*) {
    struct Connection {
        int32_t from, to;
        double weight;
    };
    std::vector<Connection> connections;
    try {
        const Network& network = reinterpret_cast<ModelObject*>(self)->network;
        const int32_t n = network.size;
        connections.reserve(connection_count(network));
        for (int32_t from = 0; from < n; ++from) {
            for (int32_t to = 0; to < n; ++to) {
                if (has_link(network, from, to)) {
                    connections.push_back({from, to, weight(network, from, to)});
                }
            }
        }
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(connections.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < connections.size(); ++i) {
        const Connection& c = connections[i];
        PyObject* item = Py_BuildValue("(i,i,{s:d})", c.from, c.to, "weight", c.weight);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace tessavo
