#include "module/threads.hpp"

#include "module/pyref.hpp"
#include "training/workers.hpp"

namespace tessavo {

PyObject* module_set_num_threads(PyObject*, PyObject* count) {
    if (PyBool_Check(count) || !PyIndex_Check(count)) {
        PyErr_Format(PyExc_TypeError, "n must be an int, got %s.", Py_TYPE(count)->tp_name);
        return nullptr;
    }
    PyRef value(PyNumber_Index(count));
    if (!value) return nullptr;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    // More threads than this bound would only exhaust the system's.
    constexpr long long most = 4096;
    if (overflow != 0 || n < 1 || n > most) {
        PyErr_Format(PyExc_ValueError, "n must be from 1 to %lld, got %R.", most, value.get());
        return nullptr;
    }
    set_worker_limit(static_cast<int32_t>(n));
    // Starts the threads now, so that get_num_threads tells the truth.
    PyThreadState* state = PyEval_SaveThread();
    worker_threads();
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyObject* module_get_num_threads(PyObject*, PyObject*) {
    return PyLong_FromLong(threads_in_use());
}

PyObject* module_pool_seconds(PyObject*, PyObject*) {
    return PyFloat_FromDouble(pool_cpu_seconds());
}

}  // namespace tessavo
