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
