#include "module/arrays.hpp"

#include "network/memory.hpp"

namespace tessavo {

namespace {

bool is_native_float64(PyArrayObject* array) {
    return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array);
}

}  // namespace

PyRef as_array(PyObject* object, const char* name) {
    // An ndarray's dtype is left to the safe cast that reads it.
    if (PyArray_Check(object)) return PyRef::borrow(object);
    PyRef converted(PyArray_FromAny(object, nullptr, 0, 0, 0, nullptr));
    if (!converted) return converted;
    auto* array = reinterpret_cast<PyArrayObject*>(converted.get());
    const int type = PyArray_TYPE(array);
    if (!PyTypeNum_ISBOOL(type) && !PyTypeNum_ISINTEGER(type) && !PyTypeNum_ISFLOAT(type)) {
        PyErr_Format(PyExc_TypeError,
                     "Expected %s to be a numpy.ndarray or an array-like of numbers (bool, int "
                     "or float), got %s of dtype %S.",
                     name, Py_TYPE(object)->tp_name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return PyRef();
    }
    return converted;
}

PyRef as_targets(PyObject* object, const char* name, int32_t outputs) {
    PyRef array = as_array(object, name);
    if (!array || outputs != 1) return array;
    auto* values = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(values) != 1) return array;
    npy_intp shape[2] = {PyArray_DIM(values, 0), 1};
    PyArray_Dims dims = {shape, 2};
    return PyRef(PyArray_Newshape(values, &dims, NPY_ANYORDER));
}

long double float64_copy_bytes(PyArrayObject* array) {
    const long double one = float64_bytes(static_cast<long double>(PyArray_SIZE(array)));
    const bool in_place =
        is_native_float64(array) && PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array);
    return in_place ? 0.0L : one;
}

PyRef as_float64(PyArrayObject* array) {
    if (is_native_float64(array)) {
        return PyRef::borrow(reinterpret_cast<PyObject*>(array));
    }
    // Steals the descriptor; no flags, so only safe casts are allowed.
    return PyRef(PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                 PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
}

PyRef as_contiguous_float64(PyArrayObject* array) {
    // One conversion at most, straight into C order; still safe casts only.
    return PyRef(PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                 PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                 NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
}

}  // namespace tessavo
