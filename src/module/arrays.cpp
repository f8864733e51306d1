#include "module/arrays.hpp"

#include "network/memory.hpp"

namespace tessavo {

namespace {

bool is_native_float64(PyArrayObject* array) {
    return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array);
}

}  // namespace

long double float64_copy_bytes(PyArrayObject* array) {
    return is_native_float64(array) ? 0.0L
                                    : float64_bytes(static_cast<long double>(PyArray_SIZE(array)));
}

PyRef as_float64(PyArrayObject* array) {
    if (is_native_float64(array)) {
        return PyRef::borrow(reinterpret_cast<PyObject*>(array));
    }
    // Steals the descriptor; no flags, so only safe casts are allowed.
    return PyRef(PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                 PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
}

}  // namespace tessavo
