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

}  // namespace tessavo
