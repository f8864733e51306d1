// tessavo.from_keras: reads back the graph written by Model.to_keras. The
// whole graph is read and checked before the network is built, so a graph
// outside that shape raises without writing anything.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "module/datasets.hpp"
#include "module/keras.hpp"
#include "module/model.hpp"
#include "module/pyref.hpp"

namespace tessavo {

namespace {

constexpr const char* not_a_model =
    "from_keras() expects a Keras model exported by Model.to_keras(), got %s.";

struct LayerInfo {
    PyObject* layer;  // borrowed from the layers list, which outlives the import
    std::string name;
    bool is_node;
    int64_t index;  // -1 when the suffix is not a decimal integer
};

// What one non-input node layer writes into the network.
struct NodePlan {
    int32_t node;
    std::vector<int32_t> sources;
    std::vector<double> kernel;
    double bias;
    int32_t code;
};

// A layer name "node" + decimal digits gives the node index; anything after
// "node" that is not such a number gives -1. Indices beyond int32 are -1 too.
int64_t parse_index(const std::string& name) {
    if (name.size() == 4) return -1;
    int64_t value = 0;
    for (std::size_t i = 4; i < name.size(); ++i) {
        const char c = name[i];
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return -1;
    }
    return value;
}

// Reads the layer's name; false with an exception set.
bool read_name(PyObject* layer, std::string& out) {
    PyRef name(PyObject_GetAttrString(layer, "name"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "Layer names must be strings, got %s.",
                     Py_TYPE(name.get())->tp_name);
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &length);
    if (!text) return false;
    out.assign(text, static_cast<std::size_t>(length));
    return true;
}

bool describe(PyObject* layer, LayerInfo& info) {
    info.layer = layer;
    if (!read_name(layer, info.name)) return false;
    info.is_node = info.name.compare(0, 4, "node") == 0;
    info.index = info.is_node ? parse_index(info.name) : -1;
    if (info.is_node && info.index < 0) {
        PyErr_Format(PyExc_ValueError,
                     "Layer '%s' starts like a node layer but has no node index: node layers "
                     "are named \"node\" followed by the index in decimal.",
                     info.name.c_str());
        return false;
    }
    return true;
}

// Width of the layer's (batch, width) output; false with an exception set.
bool output_width(const LayerInfo& info, int32_t& width) {
    PyRef output(PyObject_GetAttrString(info.layer, "output"));
    if (!output) return false;
    PyRef shape(PyObject_GetAttrString(output.get(), "shape"));
    if (!shape) return false;
    PyRef items(PySequence_Fast(shape.get(), "a tensor shape"));
    if (items && PySequence_Fast_GET_SIZE(items.get()) == 2) {
        PyObject* value = PySequence_Fast_GET_ITEM(items.get(), 1);
        if (PyLong_Check(value)) {
            const long long w = PyLong_AsLongLong(value);
            if (w == -1 && PyErr_Occurred()) PyErr_Clear();
            if (w >= 0 && w <= INT32_MAX) {
                width = static_cast<int32_t>(w);
                return true;
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError,
                 "Layer '%s' should output a tensor of shape (batch, width), got shape %R.",
                 info.name.c_str(), shape.get());
    return false;
}

// The operations whose outputs the layer was first called on, in call
// order (Keras 3 keeps them in the history of the node's input tensors).
bool feeding_layers(const LayerInfo& info, std::vector<PyRef>& out) {
    PyRef nodes(PyObject_GetAttrString(info.layer, "_inbound_nodes"));
    if (!nodes) return false;
    const Py_ssize_t count = PySequence_Size(nodes.get());
    if (count < 0) return false;
    if (count == 0) {
        PyErr_Format(PyExc_ValueError, "Layer '%s' is not connected to the graph.",
                     info.name.c_str());
        return false;
    }
    PyRef node(PySequence_GetItem(nodes.get(), 0));
    if (!node) return false;
    PyRef tensors(PyObject_GetAttrString(node.get(), "input_tensors"));
    if (!tensors) return false;
    PyRef items(PySequence_Fast(tensors.get(), "input_tensors must be a sequence"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.clear();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef history(
            PyObject_GetAttrString(PySequence_Fast_GET_ITEM(items.get(), i), "_keras_history"));
        if (!history) return false;
        PyRef operation(PyObject_GetAttrString(history.get(), "operation"));
        if (!operation) return false;
        out.push_back(std::move(operation));
    }
    return true;
}

bool is_concatenation(PyObject* layer) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(layer)), "__name__"));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(name.get()) &&
           PyUnicode_CompareWithASCIIString(name.get(), "Concatenate") == 0;
}

// The node indices of the layers feeding through a concatenation, or of
// the single node layer feeding the given layer directly.
bool source_nodes(const LayerInfo& info, int32_t node_count, std::vector<int32_t>& sources) {
    std::vector<PyRef> feeders;
    if (!feeding_layers(info, feeders)) return false;
    if (feeders.size() != 1) {
        PyErr_Format(PyExc_ValueError, "Layer '%s' should take exactly one input, got %zd.",
                     info.name.c_str(), static_cast<Py_ssize_t>(feeders.size()));
        return false;
    }
    LayerInfo feeder;
    if (!describe(feeders[0].get(), feeder)) return false;
    std::vector<PyRef> joined;
    if (!feeder.is_node) {
        if (!is_concatenation(feeder.layer)) {
            PyErr_Format(PyExc_ValueError,
                         "Layer '%s' is fed by '%s', which is neither a node layer nor a "
                         "concatenation of node layers.",
                         info.name.c_str(), feeder.name.c_str());
            return false;
        }
        if (!feeding_layers(feeder, joined)) return false;
    } else {
        joined.push_back(std::move(feeders[0]));
    }
    sources.clear();
    for (const PyRef& layer : joined) {
        LayerInfo source;
        if (!describe(layer.get(), source)) return false;
        if (!source.is_node || source.index >= node_count) {
            PyErr_Format(PyExc_ValueError,
                         "Layer '%s' takes input from '%s', which is not one of the %d node "
                         "layers.",
                         info.name.c_str(), source.name.c_str(), static_cast<int>(node_count));
            return false;
        }
        for (int32_t j : sources) {
            if (j == source.index) {
                PyErr_Format(PyExc_ValueError, "Layer '%s' takes input from '%s' twice.",
                             info.name.c_str(), source.name.c_str());
                return false;
            }
        }
        sources.push_back(static_cast<int32_t>(source.index));
    }
    if (sources.empty()) {
        PyErr_Format(PyExc_ValueError, "Layer '%s' takes no input from a node layer.",
                     info.name.c_str());
        return false;
    }
    return true;
}

// Reads and checks the kernel, bias and activation of a non-input node layer.
bool plan_node(const LayerInfo& info, int32_t node_count, NodePlan& plan) {
    plan.node = static_cast<int32_t>(info.index);
    if (!source_nodes(info, node_count, plan.sources)) return false;
    for (int32_t j : plan.sources) {
        if (j >= plan.node) {
            PyErr_Format(PyExc_ValueError,
                         "Layer '%s' takes input from node%d; connections must go from a lower "
                         "to a higher node.",
                         info.name.c_str(), static_cast<int>(j));
            return false;
        }
    }

    PyRef weights(PyObject_CallMethod(info.layer, "get_weights", nullptr));
    if (!weights) return false;
    if (!PyList_Check(weights.get()) && !PyTuple_Check(weights.get())) {
        PyErr_Format(PyExc_TypeError, "get_weights() of layer '%s' should return a list, got %s.",
                     info.name.c_str(), Py_TYPE(weights.get())->tp_name);
        return false;
    }
    if (PySequence_Size(weights.get()) != 2) {
        PyErr_Format(PyExc_ValueError,
                     "Layer '%s' should hold a kernel and a bias, got %zd weight arrays.",
                     info.name.c_str(), PySequence_Size(weights.get()));
        return false;
    }
    PyRef kernel(PySequence_GetItem(weights.get(), 0));
    PyRef bias(PySequence_GetItem(weights.get(), 1));
    if (!kernel || !bias) return false;

    const std::size_t k = plan.sources.size();
    std::vector<std::vector<double>> rows;
    const bool matrix = PyArray_Check(kernel.get()) &&
                        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(kernel.get())) == 2;
    if (matrix && !array_to_rows(kernel.get(), rows)) return false;
    bool kernel_fits = matrix && rows.size() == k;
    for (const auto& row : rows) kernel_fits = kernel_fits && row.size() == 1;
    if (!kernel_fits) {
        PyErr_Format(PyExc_ValueError,
                     "Layer '%s' should have a kernel of shape (%zd, 1), one row per source "
                     "node.",
                     info.name.c_str(), static_cast<Py_ssize_t>(k));
        return false;
    }
    plan.kernel.resize(k);
    for (std::size_t r = 0; r < k; ++r) plan.kernel[r] = rows[r][0];

    if (!PyArray_Check(bias.get()) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(bias.get())) != 1 ||
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(bias.get()), 0) != 1) {
        PyErr_Format(PyExc_ValueError, "Layer '%s' should have a bias of shape (1,).",
                     info.name.c_str());
        return false;
    }
    if (!array_to_rows(bias.get(), rows)) return false;
    plan.bias = rows[0][0];

    PyRef activation(PyObject_GetAttrString(info.layer, "activation"));
    if (!activation) return false;
    PyRef name(PyObject_GetAttrString(activation.get(), "__name__"));
    if (!name) return false;
    const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (PyErr_Occurred()) return false;
    plan.code = text ? activation_code(text) : -1;
    if (plan.code < 0) {
        PyErr_Format(PyExc_ValueError,
                     "Layer '%s' uses the activation %R; only sigmoid, tanh, relu and linear "
                     "are supported.",
                     info.name.c_str(), name.get());
        return false;
    }
    return true;
}

// An input node layer must still be what to_keras made: applied to the
// model input, a one-hot kernel picking its input, a zero bias and a linear
// activation. The network has nothing to hold anything else in, so the
// import would otherwise compute something else than the Keras model.
bool check_input_node(const LayerInfo& info, PyObject* input_layer, int32_t inputs) {
    const auto refuse = [&info]() {
        PyErr_Format(PyExc_ValueError,
                     "Layer '%s' should pass input %lld through unchanged (a one-hot kernel, a "
                     "zero bias and the linear activation), as Model.to_keras() made it; a "
                     "changed architecture cannot be imported.",
                     info.name.c_str(), static_cast<long long>(info.index));
        return false;
    };
    std::vector<PyRef> feeders;
    if (!feeding_layers(info, feeders)) return false;
    if (feeders.size() != 1 || feeders[0].get() != input_layer) return refuse();

    PyRef weights(PyObject_CallMethod(info.layer, "get_weights", nullptr));
    if (!weights) return false;
    if ((!PyList_Check(weights.get()) && !PyTuple_Check(weights.get())) ||
        PySequence_Size(weights.get()) != 2) {
        return refuse();
    }
    PyRef kernel(PySequence_GetItem(weights.get(), 0));
    PyRef bias(PySequence_GetItem(weights.get(), 1));
    if (!kernel || !bias) return false;
    if (!PyArray_Check(kernel.get()) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(kernel.get())) != 2 ||
        !PyArray_Check(bias.get()) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(bias.get())) != 1) {
        return refuse();
    }
    std::vector<std::vector<double>> rows;
    if (!array_to_rows(kernel.get(), rows)) return false;
    bool passes = rows.size() == static_cast<std::size_t>(inputs);
    for (std::size_t r = 0; passes && r < rows.size(); ++r) {
        const double wanted = static_cast<int64_t>(r) == info.index ? 1.0 : 0.0;
        passes = rows[r].size() == 1 && rows[r][0] == wanted;
    }
    if (!passes) return refuse();
    if (!array_to_rows(bias.get(), rows)) return false;
    if (rows.size() != 1 || rows[0][0] != 0.0) return refuse();

    PyRef activation(PyObject_GetAttrString(info.layer, "activation"));
    if (!activation) return false;
    PyRef name(PyObject_GetAttrString(activation.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get()) ||
        PyUnicode_CompareWithASCIIString(name.get(), "linear") != 0) {
        return refuse();
    }
    return true;
}

// True for an instance of keras.Model; false with TypeError otherwise.
// Without keras imported no object can be one, so keras is not imported.
bool check_keras_model(PyObject* object) {
    PyRef module_name(PyUnicode_FromString("keras"));
    if (!module_name) return false;
    PyRef keras(PyImport_GetModule(module_name.get()));
    if (!keras && PyErr_Occurred()) return false;
    if (keras) {
        PyRef model_type(PyObject_GetAttrString(keras.get(), "Model"));
        if (!model_type) return false;
        const int is_model = PyObject_IsInstance(object, model_type.get());
        if (is_model < 0) return false;
        if (is_model) return true;
    }
    PyErr_Format(PyExc_TypeError, not_a_model, Py_TYPE(object)->tp_name);
    return false;
}

// The model output must be the last node, or the concatenation of the
// last `outputs` nodes in order; otherwise the import would compute
// something else than the Keras model.
bool check_output(const LayerInfo& last, int32_t node_count, int32_t outputs) {
    if (last.is_node) {
        if (last.index == node_count - 1) return true;
        PyErr_Format(PyExc_ValueError, "The output layer '%s' should be node%d, the last node.",
                     last.name.c_str(), static_cast<int>(node_count - 1));
        return false;
    }
    std::vector<PyRef> joined;
    if (!is_concatenation(last.layer)) {
        PyErr_Format(PyExc_ValueError,
                     "The last layer '%s' should be the last node layer or a concatenation of "
                     "the output node layers.",
                     last.name.c_str());
        return false;
    }
    if (!feeding_layers(last, joined)) return false;
    bool in_order = joined.size() == static_cast<std::size_t>(outputs);
    for (std::size_t r = 0; in_order && r < joined.size(); ++r) {
        LayerInfo source;
        if (!describe(joined[r].get(), source)) return false;
        in_order = source.is_node && source.index == node_count - outputs + static_cast<int64_t>(r);
    }
    if (!in_order) {
        PyErr_Format(PyExc_ValueError,
                     "The last layer '%s' should concatenate node%d to node%d in order.",
                     last.name.c_str(), static_cast<int>(node_count - outputs),
                     static_cast<int>(node_count - 1));
        return false;
    }
    return true;
}

PyObject* from_keras(PyObject* keras_model) {
    if (!check_keras_model(keras_model)) return nullptr;
    PyRef layers(PyObject_GetAttrString(keras_model, "layers"));
    if (!layers) return nullptr;
    if (!PyList_Check(layers.get()) && !PyTuple_Check(layers.get())) {
        PyErr_Format(PyExc_TypeError, not_a_model, Py_TYPE(keras_model)->tp_name);
        return nullptr;
    }
    // A tuple cannot change under us; a list is copied for the same reason.
    PyRef items(PySequence_Tuple(layers.get()));
    if (!items) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "The Keras model has no layers.");
        return nullptr;
    }

    std::vector<LayerInfo> infos(static_cast<std::size_t>(n));
    int64_t node_count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!describe(PyTuple_GET_ITEM(items.get(), i), infos[i])) return nullptr;
        if (infos[i].is_node) ++node_count;
    }
    if (infos[0].is_node) {
        PyErr_Format(PyExc_ValueError,
                     "The first layer should be the input layer, got the node layer '%s'.",
                     infos[0].name.c_str());
        return nullptr;
    }
    int32_t inputs = 0;
    int32_t outputs = 1;
    if (!output_width(infos[0], inputs)) return nullptr;
    if (n > 1 && !infos[n - 1].is_node && !output_width(infos[n - 1], outputs)) return nullptr;
    if (node_count < static_cast<int64_t>(inputs) + outputs || outputs < 1) {
        PyErr_Format(PyExc_ValueError,
                     "The Keras model has %lld node layers; it needs at least one per input "
                     "(%d) and output (%d).",
                     static_cast<long long>(node_count), static_cast<int>(inputs),
                     static_cast<int>(outputs));
        return nullptr;
    }
    const int32_t count = static_cast<int32_t>(node_count);

    std::vector<const LayerInfo*> by_index(static_cast<std::size_t>(count), nullptr);
    for (const LayerInfo& info : infos) {
        if (!info.is_node) continue;
        if (info.index >= count) {
            PyErr_Format(PyExc_ValueError,
                         "Layer '%s' is numbered outside the %d node layers of the model "
                         "(node0 to node%d). Keras leaves out layers that lead to no output, so "
                         "a model with such nodes cannot come back.",
                         info.name.c_str(), static_cast<int>(count), static_cast<int>(count - 1));
            return nullptr;
        }
        if (by_index[info.index]) {
            PyErr_Format(PyExc_ValueError, "Layers '%s' and '%s' carry the same node index.",
                         by_index[info.index]->name.c_str(), info.name.c_str());
            return nullptr;
        }
        by_index[info.index] = &info;
    }
    if (!check_output(infos[n - 1], count, outputs)) return nullptr;

    std::vector<NodePlan> plans;
    for (const LayerInfo& info : infos) {
        if (!info.is_node) continue;
        // Input node layers only pass their input on; the network keeps nothing of them.
        if (info.index < inputs) {
            if (!check_input_node(info, infos[0].layer, inputs)) return nullptr;
            continue;
        }
        plans.emplace_back();
        if (!plan_node(info, count, plans.back())) return nullptr;
    }

    check_fits_in_memory(count);
    Network network(inputs, outputs, false);
    resize(network, count);
    for (const NodePlan& plan : plans) {
        network.biases[plan.node] = plan.bias;
        network.activations[plan.node] = plan.code;
        for (std::size_t r = 0; r < plan.sources.size(); ++r) {
            set_link(network, plan.sources[r], plan.node, plan.kernel[r]);
        }
    }
    return make_model(std::move(network), false);
}

}  // namespace

PyObject* module_from_keras(PyObject*, PyObject* args) {
    PyObject* keras_model = nullptr;
    if (!PyArg_ParseTuple(args, "O:from_keras", &keras_model)) return nullptr;
    try {
        return from_keras(keras_model);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tessavo
