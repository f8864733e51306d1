#include "module/arrays.hpp"
#include "module/datasets.hpp"
#include "module/model.hpp"

namespace tessavo {

bool array_to_rows(PyObject* object, std::vector<std::vector<double>>& out) {
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "Expected a numpy.ndarray, got %s.",
                     Py_TYPE(object)->tp_name);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const int d = PyArray_NDIM(array);
    if (d != 1 && d != 2) {
        PyErr_Format(PyExc_ValueError, "Expected an array of 1 or 2 dimensions, got %d.", d);
        return false;
    }
    PyRef converted = as_float64(array);
    if (!converted) return false;
    auto* values = reinterpret_cast<PyArrayObject*>(converted.get());
    const DoubleView view(values);
    const npy_intp rows = PyArray_DIM(values, 0);
    const npy_intp columns = d == 1 ? 1 : PyArray_DIM(values, 1);
    try {
        std::vector<std::vector<double>> result(static_cast<std::size_t>(rows));
        for (npy_intp i = 0; i < rows; ++i) {
            auto& row = result[i];
            row.resize(static_cast<std::size_t>(columns));
            if (d == 1) {
                row[0] = view.at(i);
            } else {
                for (npy_intp j = 0; j < columns; ++j) row[j] = view.at(i, j);
            }
        }
        out.swap(result);
    } catch (...) {
        set_error_from_current_exception();
        return false;
    }
    return true;
}

bool score_from_object(PyObject* object, double& value) {
    // float() of a NumPy array or scalar of text would parse it: "0.5" is
    // not a number.
    PyArray_Descr* descr = nullptr;
    PyRef scalar_descr;
    if (PyArray_Check(object)) {
        descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
    } else if (PyArray_IsScalar(object, Generic)) {
        descr = PyArray_DescrFromScalar(object);
        if (!descr) return false;
        scalar_descr = PyRef(reinterpret_cast<PyObject*>(descr));
    }
    if (descr != nullptr && !PyTypeNum_ISBOOL(descr->type_num) &&
        !PyTypeNum_ISINTEGER(descr->type_num) && !PyTypeNum_ISFLOAT(descr->type_num)) {
        PyErr_Format(PyExc_TypeError, "A score must be a number, got %s of dtype %S.",
                     Py_TYPE(object)->tp_name, reinterpret_cast<PyObject*>(descr));
        return false;
    }
    value = PyFloat_AsDouble(object);
    return !(value == -1.0 && PyErr_Occurred());
}

}  // namespace tessavo
