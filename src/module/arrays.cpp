#include "module/arrays.hpp"

#include "network/memory.hpp"

namespace tessavo {

namespace {

bool is_native_float64(PyArrayObject* array) {
    return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array);
}

}  // namespace

long double float64_copy_bytes(PyArrayObject* array) {
    const long double one = float64_bytes(static_cast<long double>(PyArray_SIZE(array)));
    if (!is_native_float64(array)) return 2 * one;  // the cast, then perhaps a C-order copy
    return PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array) ? 0.0L : one;
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
    PyRef values = as_float64(array);
    if (!values) return values;
    auto* converted = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_IS_C_CONTIGUOUS(converted) && PyArray_ISALIGNED(converted)) return values;
    return PyRef(PyArray_NewCopy(converted, NPY_CORDER));
}

}  // namespace tessavo
