#include "module/predict.hpp"

#include <string>
#include <vector>

#include "module/arrays.hpp"
#include "module/model.hpp"
#include "network/memory.hpp"
#include "network/plan.hpp"

namespace tessavo {

bool check_predict_shape(PyArrayObject* array, const char* name, bool recurrent, int32_t inputs) {
    const int d = PyArray_NDIM(array);
    if (recurrent && (d < 1 || d > 3)) {
        PyErr_Format(PyExc_ValueError,
                     "Expected %s to have 1 dimension (one sample in a timeserie), 2 "
                     "dimensions (one timeseries) or 3 dimensions (multiple timeseries).",
                     name);
        return false;
    }
    if (!recurrent && (d < 1 || d > 2)) {
        PyErr_Format(PyExc_ValueError,
                     "Expected %s to have 1 dimension (one sample) or 2 dimensions "
                     "(multiple samples).",
                     name);
        return false;
    }
    const int32_t last = static_cast<int32_t>(PyArray_DIM(array, d - 1));
    if (PyArray_DIM(array, d - 1) != inputs) {
        PyErr_SetString(
            PyExc_ValueError,
            ("Expected last dimension of " + std::string(name) + " (" + std::to_string(last) +
             ") to be equal to the number of inputs of the model (" + std::to_string(inputs) + ")")
                .c_str());
        return false;
    }
    return true;
}

bool check_verbose(PyObject* verbose, const char* method) {
    if (verbose == nullptr) return true;
    if (PyUnicode_Check(verbose)) {
        if (PyUnicode_CompareWithASCIIString(verbose, "auto") == 0) return true;
        PyErr_Format(PyExc_ValueError, "%s: verbose must be 0, 1, 2 or 'auto', got %R.", method,
                     verbose);
        return false;
    }
    if (!PyLong_Check(verbose)) {
        PyErr_Format(PyExc_TypeError, "%s: verbose must be an int or 'auto', got %s.", method,
                     Py_TYPE(verbose)->tp_name);
        return false;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(verbose, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || value > 2) {
        PyErr_Format(PyExc_ValueError, "%s: verbose must be 0, 1, 2 or 'auto', got %R.", method,
                     verbose);
        return false;
    }
    return true;
}

PyObject* predict_from_args(Network& network, PyObject* args, PyObject* kwargs, int32_t inputs,
                            int32_t outputs, bool recurrent) {
    PyObject* x_argument = nullptr;
    PyObject* verbose = nullptr;
    if (kwargs == nullptr) {
        // The common case, a control loop's call: no keyword to look at.
        if (!PyArg_ParseTuple(args, "O:predict", &x_argument)) return nullptr;
    } else {
        static const char* keywords[] = {"", "verbose", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:predict", const_cast<char**>(keywords),
                                         &x_argument, &verbose)) {
            return nullptr;
        }
        // Nothing is printed either way: a prediction has no progress to show.
        if (!check_verbose(verbose, "predict")) return nullptr;
    }
    const PyRef x_array = as_array(x_argument, "x");
    if (!x_array) return nullptr;
    auto* x = reinterpret_cast<PyArrayObject*>(x_array.get());
    if (!check_predict_shape(x, "x", recurrent, inputs)) return nullptr;
    if (network.inputs != inputs || network.outputs != outputs || network.size < inputs + outputs) {
        PyErr_SetString(PyExc_RuntimeError, "This object holds no network to predict with.");
        return nullptr;
    }
    try {
        // The result, NumPy's float64 copy of x, and the network's state.
        long double samples = 1.0L;
        for (int i = 0; i + 1 < PyArray_NDIM(x); ++i) samples *= PyArray_DIM(x, i);
        require_memory(float64_bytes(samples * outputs) + float64_copy_bytes(x), "predict");
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    // A control loop's row is usually float64 in C order already.
    const bool ready =
        PyArray_ISCARRAY_RO(x) && PyArray_TYPE(x) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(x);
    PyRef converted =
        ready ? PyRef::borrow(reinterpret_cast<PyObject*>(x)) : as_contiguous_float64(x);
    if (!converted) return nullptr;
    // Converting a subclass runs its Python hooks, which may rebuild the
    // owner; the input is read for the network that was checked.
    if (network.inputs != inputs || network.outputs != outputs) {
        PyErr_SetString(PyExc_RuntimeError,
                        "The network changed while x was converted; nothing was predicted.");
        return nullptr;
    }
    auto* xs = reinterpret_cast<PyArrayObject*>(converted.get());

    const int d = PyArray_NDIM(xs);
    npy_intp shape[3];
    for (int i = 0; i < d; ++i) shape[i] = PyArray_DIM(xs, i);
    shape[d - 1] = outputs;
    // Every entry is written below.
    PyRef result(PyArray_SimpleNew(d, shape, NPY_DOUBLE));
    if (!result) return nullptr;
    auto* out_array = reinterpret_cast<PyArrayObject*>(result.get());
    double* out = static_cast<double*>(PyArray_DATA(out_array));
    const auto* in = static_cast<const double*>(PyArray_DATA(xs));

    try {
        // Rows of a feed-forward model and the steps of one sequence run in
        // a single series; three dimensions are series that each start clear.
        if (d == 1) {
            predict_series(network, in, 1, 1, false, out);
        } else if (d == 2 && !recurrent) {
            predict_series(network, in, shape[0], 1, false, out);
        } else if (d == 2) {
            predict_series(network, in, 1, shape[0], false, out);
        } else {
            predict_series(network, in, shape[0], shape[1], true, out);
        }
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    return result.release();
}

}  // namespace tessavo
