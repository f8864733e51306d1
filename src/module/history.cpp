#include "module/history.hpp"

#include "module/pyref.hpp"

namespace tessavo {

PyObject* float_list(const std::vector<double>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* int_list(const std::vector<int32_t>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromLong(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

bool set_list(PyObject* dict, const std::string& key, PyObject* list) {
    PyRef owned(list);
    return owned && PyDict_SetItemString(dict, key.c_str(), owned.get()) == 0;
}

}  // namespace tessavo
