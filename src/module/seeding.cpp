#include "module/seeding.hpp"

#include "module/pyref.hpp"
#include "random/sources.hpp"

namespace tessavo {

PyObject* module_set_random_seed(PyObject*, PyObject* seed) {
    if (seed == Py_None) {
        unseed_sources();
        Py_RETURN_NONE;
    }
    if (PyBool_Check(seed) || !PyIndex_Check(seed)) {
        PyErr_Format(PyExc_TypeError, "seed must be None or an int, got %s.",
                     Py_TYPE(seed)->tp_name);
        return nullptr;
    }
    PyRef value(PyNumber_Index(seed));
    if (!value) return nullptr;
    const unsigned long long number = PyLong_AsUnsignedLongLong(value.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "seed must be from 0 to 2**64 - 1, got %R.", value.get());
        return nullptr;
    }
    seed_sources(number);
    Py_RETURN_NONE;
}

}  // namespace tessavo
