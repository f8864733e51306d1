#include "module/datasets.hpp"

#include <string>
#include <utility>

#include "module/arrays.hpp"
#include "module/model.hpp"
#include "network/memory.hpp"

namespace tessavo {

namespace {

std::string number(npy_intp n) { return std::to_string(static_cast<long long>(n)); }

bool fail(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

}  // namespace

bool check_shapes(PyArrayObject* x, PyArrayObject* y, const char* x_name, const char* y_name,
                  bool recurrent, int32_t inputs, int32_t outputs) {
    const std::string X(x_name);
    const std::string Y(y_name);
    const int d = PyArray_NDIM(x);
    if (d != PyArray_NDIM(y)) {
        return fail("Expected " + X + " and " + Y + " to have the same number of dimensions.");
    }
    if (recurrent && d != 3) {
        return fail("Expected " + X + " and " + Y +
                    " to have 3 dimensions (n_series, n_samples, n_inputs or n_outputs)");
    }
    if (!recurrent && d != 2) {
        return fail("Expected " + X + " and " + Y +
                    " to have 2 dimensions (n_samples, n_inputs or n_outputs)");
    }
    if (PyArray_DIM(x, 0) != PyArray_DIM(y, 0)) {
        return fail("Expected first dimension of " + X + " (" + number(PyArray_DIM(x, 0)) +
                    ") to be equal to the first dimension of " + Y + " (" +
                    number(PyArray_DIM(y, 0)) + ")");
    }
    if (recurrent && PyArray_DIM(x, 1) != PyArray_DIM(y, 1) && PyArray_DIM(y, 1) != 1) {
        return fail("Expected second dimension of " + X + " (" + number(PyArray_DIM(x, 1)) +
                    ") to be equal to the second dimension of " + Y + " (" +
                    number(PyArray_DIM(y, 1)) + ") or (1)");
    }
    const int last = d - 1;
    if (PyArray_DIM(x, last) != inputs) {
        return fail("Expected last dimension of " + X + " (" + number(PyArray_DIM(x, last)) +
                    ") to be equal to the number of inputs of the model (" +
                    std::to_string(inputs) + ")");
    }
    if (PyArray_DIM(y, last) != outputs) {
        return fail("Expected last dimension of " + Y + " (" + number(PyArray_DIM(y, last)) +
                    ") to be equal to the number of outputs of the model (" +
                    std::to_string(outputs) + ")");
    }
    return true;
}

bool check_not_empty(PyArrayObject* x, const char* x_name, const char* y_name, bool recurrent) {
    const std::string names = std::string(x_name) + " and " + y_name;
    if (PyArray_DIM(x, 0) == 0) {
        return fail("Expected " + names + " to hold at least one " +
                    (recurrent ? "series" : "sample") + ", got none.");
    }
    // A sequence-to-one target has one step; the input must have some.
    if (recurrent && PyArray_DIM(x, 1) == 0) {
        return fail("Expected " + names + " to hold at least one time step per series, got none.");
    }
    return true;
}

long double series_bytes(PyArrayObject* array) { return float64_copy_bytes(array); }

bool array_to_series(PyArrayObject* array, PyRef& keep, SeriesView& out) {
    const int d = PyArray_NDIM(array);
    if (d != 2 && d != 3) {
        PyErr_Format(PyExc_ValueError, "Expected an array of 2 or 3 dimensions, got %d.", d);
        return false;
    }
    PyRef converted = as_contiguous_float64(array);
    if (!converted) return false;
    auto* values = reinterpret_cast<PyArrayObject*>(converted.get());
    out.data = static_cast<const double*>(PyArray_DATA(values));
    out.count = PyArray_DIM(values, 0);
    out.steps = d == 2 ? 1 : PyArray_DIM(values, 1);
    out.width = static_cast<int32_t>(PyArray_DIM(values, d - 1));
    keep = std::move(converted);
    return true;
}

}  // namespace tessavo
