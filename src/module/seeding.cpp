#include "module/seeding.hpp"

#include "module/pyref.hpp"
#include "random/sources.hpp"

namespace tessavo {

bool parse_seed(PyObject* seed, std::optional<uint64_t>& out) {
    out.reset();
    if (seed == Py_None) return true;
    if (PyBool_Check(seed) || !PyIndex_Check(seed)) {
        PyErr_Format(PyExc_TypeError, "seed must be None or an int, got %s.",
                     Py_TYPE(seed)->tp_name);
        return false;
    }
    PyRef value(PyNumber_Index(seed));
    if (!value) return false;
    const unsigned long long number = PyLong_AsUnsignedLongLong(value.get());
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "seed must be from 0 to 2**64 - 1, got %R.", value.get());
        return false;
    }
    out = number;
    return true;
}

PyObject* module_set_random_seed(PyObject*, PyObject* seed) {
    std::optional<uint64_t> value;
    if (!parse_seed(seed, value)) return nullptr;
    if (value) {
        seed_sources(*value);
    } else {
        unseed_sources();
    }
    Py_RETURN_NONE;
}

}  // namespace tessavo
