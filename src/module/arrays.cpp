#include "module/arrays.hpp"

namespace tessavo {

PyRef as_float64(PyArrayObject* array) {
    if (PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array)) {
        return PyRef::borrow(reinterpret_cast<PyObject*>(array));
    }
    // Steals the descriptor; no flags, so only safe casts are allowed.
    return PyRef(PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                 PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
}

PyRef as_contiguous_float64(PyArrayObject* array) {
    PyRef values = as_float64(array);
    if (!values) return values;
    auto* converted = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_IS_C_CONTIGUOUS(converted) && PyArray_ISALIGNED(converted)) return values;
    return PyRef(PyArray_NewCopy(converted, NPY_CORDER));
}

}  // namespace tessavo
