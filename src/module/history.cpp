#include "module/history.hpp"

#include <utility>

#include "module/pyref.hpp"
#include "progress/loss_names.hpp"

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

namespace {

using HistoryKeys = std::vector<std::pair<std::string, const std::vector<double>*>>;

std::string metric_key(const std::vector<int32_t>& codes, std::size_t k) {
    return k == 0 ? "loss" : loss_names[codes[k]];
}

HistoryKeys history_keys(const RunHistory& history, const std::vector<int32_t>& codes,
                         bool has_validation) {
    HistoryKeys keys;
    auto add = [&keys](std::string key, const std::vector<double>& values) {
        for (const auto& known : keys) {
            if (known.first == key) return;
        }
        keys.emplace_back(std::move(key), &values);
    };
    for (std::size_t k = 0; k < codes.size(); ++k) add(metric_key(codes, k), history.train[k]);
    if (has_validation) {
        for (std::size_t k = 0; k < codes.size(); ++k) {
            add("val_" + metric_key(codes, k), history.validation[k]);
        }
    }
    return keys;
}

bool set_float(PyObject* dict, const std::string& key, double value) {
    PyRef item(PyFloat_FromDouble(value));
    return item && PyDict_SetItemString(dict, key.c_str(), item.get()) == 0;
}

bool set_int(PyObject* dict, const char* key, int32_t value) {
    PyRef item(PyLong_FromLong(value));
    return item && PyDict_SetItemString(dict, key, item.get()) == 0;
}

}  // namespace

PyObject* history_dict(const RunHistory& history, const std::vector<int32_t>& codes,
                       bool has_validation, bool has_monitors) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, values] : history_keys(history, codes, has_validation)) {
        if (!set_list(dict.get(), key, float_list(*values))) return nullptr;
    }
    if (has_monitors && !set_list(dict.get(), "size", int_list(history.sizes))) return nullptr;
    return dict.release();
}

PyObject* epoch_logs(const RunHistory& history, const std::vector<int32_t>& codes,
                     bool has_validation, bool has_monitors, std::size_t epoch) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, values] : history_keys(history, codes, has_validation)) {
        if (!set_float(dict.get(), key, (*values)[epoch])) return nullptr;
    }
    if (has_monitors && !set_int(dict.get(), "size", history.sizes[epoch])) return nullptr;
    return dict.release();
}

PyObject* batch_logs(const std::vector<int32_t>& codes, const std::vector<double>& means,
                     bool has_monitors, int32_t size) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < codes.size(); ++k) {
        const std::string key = metric_key(codes, k);
        // A metric compiled twice: the first entry stands.
        if (PyDict_GetItemString(dict.get(), key.c_str()) != nullptr) continue;
        if (!set_float(dict.get(), key, means[k])) return nullptr;
    }
    if (has_monitors && !set_int(dict.get(), "size", size)) return nullptr;
    return dict.release();
}

}  // namespace tessavo
