// Model.to_keras: one single-unit Dense layer per node, named "node" + index,
// wired like the network's links.
#include <string>
#include <vector>

#include "module/keras.hpp"
#include "module/model.hpp"
#include "module/pyref.hpp"

namespace tessavo {

namespace {

constexpr const char* recurrent_message =
    "Recurrent models cannot yet be converted to Keras. Please use model.save() to save your "
    "model.\n";

// Predecessors of node i in increasing order: the rows of the Dense kernel.
std::vector<int32_t> predecessors(const Network& network, int32_t i) {
    std::vector<int32_t> sources;
    for (int32_t j = 0; j < i; ++j) {
        if (has_link(network, j, i)) sources.push_back(j);
    }
    return sources;
}

// Refuses, before Keras is touched, networks the graph cannot express.
bool check_exportable(const ModelObject& model) {
    const Network& network = model.network;
    if (network.inputs != model.inputs || network.outputs != model.outputs ||
        network.size < model.inputs + model.outputs) {
        PyErr_SetString(PyExc_RuntimeError, "This object holds no network to convert.");
        return false;
    }
    if (model.outputs < 1) {
        PyErr_SetString(PyExc_ValueError, "A model without outputs cannot be converted to Keras.");
        return false;
    }
    for (int32_t i = model.inputs; i < network.size; ++i) {
        const int32_t code = network.activations[i];
        if (code < 0 || code >= activation_count) {
            PyErr_Format(PyExc_ValueError, "Node %d has the unknown activation code %d.",
                         static_cast<int>(i), static_cast<int>(code));
            return false;
        }
        bool fed = false;
        for (int32_t j = 0; j < i && !fed; ++j) fed = has_link(network, j, i);
        if (!fed) {
            PyErr_Format(PyExc_ValueError,
                         "Node %d has no incoming connection from a lower node, so it cannot "
                         "be converted to Keras.",
                         static_cast<int>(i));
            return false;
        }
    }
    return true;
}

PyRef concatenate(PyObject* layers, PyObject* tensors) {
    PyRef layer_type(PyObject_GetAttrString(layers, "Concatenate"));
    if (!layer_type) return PyRef();
    PyRef layer(PyObject_CallNoArgs(layer_type.get()));
    if (!layer) return PyRef();
    return PyRef(PyObject_CallOneArg(layer.get(), tensors));
}

// A new list holding the tensors of the given nodes, in that order.
PyRef tensor_list(const std::vector<PyRef>& tensors, const std::vector<int32_t>& nodes) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
    if (!list) return PyRef();
    for (std::size_t r = 0; r < nodes.size(); ++r) {
        PyObject* tensor = tensors[nodes[r]].get();
        Py_INCREF(tensor);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), tensor);
    }
    return list;
}

// Kernel (rows x 1) and one-element bias of node i, as float64 arrays.
PyRef node_weights(const Network& network, int32_t i) {
    const bool input_node = i < network.inputs;
    const std::vector<int32_t> sources =
        input_node ? std::vector<int32_t>() : predecessors(network, i);
    npy_intp kernel_shape[2] = {input_node ? network.inputs : static_cast<npy_intp>(sources.size()),
                                1};
    npy_intp bias_shape[1] = {1};
    PyRef kernel(PyArray_ZEROS(2, kernel_shape, NPY_DOUBLE, 0));
    if (!kernel) return PyRef();
    PyRef bias(PyArray_ZEROS(1, bias_shape, NPY_DOUBLE, 0));
    if (!bias) return PyRef();
    auto* k = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(kernel.get())));
    auto* b = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(bias.get())));
    if (input_node) {
        k[i] = 1.0;
    } else {
        for (std::size_t r = 0; r < sources.size(); ++r) k[r] = weight(network, sources[r], i);
        b[0] = network.biases[i];
    }
    PyRef pair(PyList_New(2));
    if (!pair) return PyRef();
    PyList_SET_ITEM(pair.get(), 0, kernel.release());
    PyList_SET_ITEM(pair.get(), 1, bias.release());
    return pair;
}

// Works on its own copy of the network: the Keras calls run Python code,
// which may rebuild the model meanwhile.
PyObject* to_keras(const Network& network) {
    const int32_t size = network.size;

    PyRef keras(PyImport_ImportModule("keras"));
    if (!keras) return nullptr;
    PyRef layers(PyObject_GetAttrString(keras.get(), "layers"));
    if (!layers) return nullptr;
    PyRef activations(PyObject_GetAttrString(keras.get(), "activations"));
    if (!activations) return nullptr;
    PyRef dense(PyObject_GetAttrString(layers.get(), "Dense"));
    if (!dense) return nullptr;
    PyRef input_type(PyObject_GetAttrString(layers.get(), "Input"));
    if (!input_type) return nullptr;
    // Keras 3 takes the input width as a shape tuple.
    PyRef input_args(Py_BuildValue("((i))", network.inputs));
    if (!input_args) return nullptr;
    PyRef input(PyObject_CallObject(input_type.get(), input_args.get()));
    if (!input) return nullptr;

    PyRef one(PyLong_FromLong(1));
    if (!one) return nullptr;
    std::vector<PyRef> node_layers;
    std::vector<PyRef> tensors;
    node_layers.reserve(static_cast<std::size_t>(size));
    tensors.reserve(static_cast<std::size_t>(size));
    for (int32_t i = 0; i < size; ++i) {
        const bool input_node = i < network.inputs;
        const char* name = input_node ? "linear" : activation_names[network.activations[i]];
        PyRef activation(PyObject_GetAttrString(activations.get(), name));
        if (!activation) return nullptr;
        const std::string layer_name = "node" + std::to_string(i);
        PyRef kwargs(
            Py_BuildValue("{s:O,s:s}", "activation", activation.get(), "name", layer_name.c_str()));
        if (!kwargs) return nullptr;
        // Input node layers only route inputs and the import ignores them, so
        // gradient descent in Keras must not change them.
        if (input_node && PyDict_SetItemString(kwargs.get(), "trainable", Py_False) < 0) {
            return nullptr;
        }
        PyRef args(PyTuple_Pack(1, one.get()));
        if (!args) return nullptr;
        PyRef layer(PyObject_Call(dense.get(), args.get(), kwargs.get()));
        if (!layer) return nullptr;

        PyRef layer_input;
        if (input_node) {
            layer_input = PyRef::borrow(input.get());
        } else {
            const std::vector<int32_t> sources = predecessors(network, i);
            if (sources.size() == 1) {
                layer_input = PyRef::borrow(tensors[sources[0]].get());
            } else {
                PyRef list = tensor_list(tensors, sources);
                if (!list) return nullptr;
                layer_input = concatenate(layers.get(), list.get());
                if (!layer_input) return nullptr;
            }
        }
        PyRef tensor(PyObject_CallOneArg(layer.get(), layer_input.get()));
        if (!tensor) return nullptr;
        node_layers.push_back(std::move(layer));
        tensors.push_back(std::move(tensor));
    }

    PyRef output;
    if (network.outputs == 1) {
        output = PyRef::borrow(tensors[size - 1].get());
    } else {
        std::vector<int32_t> output_nodes;
        for (int32_t i = size - network.outputs; i < size; ++i) output_nodes.push_back(i);
        PyRef list = tensor_list(tensors, output_nodes);
        if (!list) return nullptr;
        output = concatenate(layers.get(), list.get());
        if (!output) return nullptr;
    }
    PyRef model_type(PyObject_GetAttrString(keras.get(), "Model"));
    if (!model_type) return nullptr;
    PyRef result(
        PyObject_CallFunctionObjArgs(model_type.get(), input.get(), output.get(), nullptr));
    if (!result) return nullptr;

    // The layers are built by now; their weights are the node's parameters.
    for (int32_t i = 0; i < size; ++i) {
        PyRef weights = node_weights(network, i);
        if (!weights) return nullptr;
        PyRef set_weights(PyObject_GetAttrString(node_layers[i].get(), "set_weights"));
        if (!set_weights) return nullptr;
        PyRef done(PyObject_CallOneArg(set_weights.get(), weights.get()));
        if (!done) return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject* model_to_keras(PyObject* self, PyObject*) {
    const auto& model = *reinterpret_cast<ModelObject*>(self);
    // Checked before Keras is imported, so it holds where Keras is absent.
    if (model.recurrent) {
        PyErr_SetString(PyExc_NotImplementedError, recurrent_message);
        return nullptr;
    }
    if (!check_exportable(model)) return nullptr;
    try {
        const Network network = model.network;
        return to_keras(network);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tessavo
