#include "module/evaluate.hpp"

#include <vector>

#include "module/arrays.hpp"
#include "module/datasets.hpp"
#include "module/history.hpp"
#include "module/model.hpp"
#include "module/predict.hpp"
#include "module/pyref.hpp"
#include "network/memory.hpp"
#include "training/losses.hpp"

namespace tessavo {

PyObject* model_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* model = reinterpret_cast<ModelObject*>(self);
    PyObject* x_argument = nullptr;
    PyObject* y_argument = nullptr;
    PyObject* verbose = nullptr;
    static const char* keywords[] = {"", "", "verbose", nullptr};
    const auto parse = [&] {
        return PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:evaluate",
                                           const_cast<char**>(keywords), &x_argument, &y_argument,
                                           &verbose) != 0;
    };
    // A keyword other than verbose is refused before the compile check.
    const Py_ssize_t known = kwargs && PyDict_GetItemString(kwargs, "verbose") ? 1 : 0;
    if (kwargs && PyDict_GET_SIZE(kwargs) > known && !parse()) return nullptr;
    if (!model->compiled) {
        PyErr_SetString(PyExc_RuntimeError,
                        "You must compile your model before evaluating. Use "
                        "`model.compile(loss)`.");
        return nullptr;
    }
    if (!parse()) return nullptr;
    // One pass over the data: nothing to report as it goes, whatever verbose says.
    if (!check_verbose(verbose, "evaluate")) return nullptr;
    const PyRef x_array = as_array(x_argument, "x");
    if (!x_array) return nullptr;
    const PyRef y_array = as_targets(y_argument, "y", model->outputs);
    if (!y_array) return nullptr;
    auto* x = reinterpret_cast<PyArrayObject*>(x_array.get());
    auto* y = reinterpret_cast<PyArrayObject*>(y_array.get());
    if (!check_shapes(x, y, "x", "y", model->recurrent, model->inputs, model->outputs) ||
        !check_not_empty(x, "x", "y", model->recurrent)) {
        return nullptr;
    }
    Network& network = model->network;
    if (network.inputs != model->inputs || network.outputs != model->outputs ||
        network.size < model->inputs + model->outputs) {
        PyErr_SetString(PyExc_RuntimeError, "This object holds no network to evaluate.");
        return nullptr;
    }
    const int32_t inputs = model->inputs;
    const int32_t outputs = model->outputs;
    try {
        require_memory(series_bytes(x) + series_bytes(y), "evaluate");
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    PyRef x_block, y_block;
    SeriesView xs, ys;
    if (!array_to_series(x, x_block, xs) || !array_to_series(y, y_block, ys)) return nullptr;
    // Converting a subclass runs its Python hooks, which may rebuild the
    // model; the rows read are sized for the network that was checked.
    if (network.inputs != inputs || network.outputs != outputs) {
        PyErr_SetString(PyExc_RuntimeError,
                        "The model changed while x and y were converted; nothing was evaluated.");
        return nullptr;
    }

    std::vector<double> values;
    try {
        values = dataset_losses(network, xs, ys, model->codes);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    return float_list(values);
}

}  // namespace tessavo
