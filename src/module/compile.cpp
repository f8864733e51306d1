#include "module/compile.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "module/model.hpp"
#include "module/optimizers.hpp"
#include "module/pyref.hpp"
#include "training/losses.hpp"

namespace tessavo {

const char* const monitor_names[monitor_count] = {"size"};

namespace {

int32_t monitor_code(std::string_view name) {
    for (int32_t code = 0; code < monitor_count; ++code) {
        if (name == monitor_names[code]) return code;
    }
    return -1;
}

// The UTF-8 text of a str; a str that has none (lone surrogates) matches no
// name, so it gives an empty view that no table holds.
std::string_view text_of(PyObject* str) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &length);
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return {text, static_cast<std::size_t>(length)};
}

// metrics and monitors must be lists of str; checked before anything changes,
// like the types the argument parser checks.
bool check_names(PyObject* list, const char* argument) {
    if (!list) return true;
    if (!PyList_Check(list)) {
        PyErr_Format(PyExc_TypeError, "compile() argument '%s' must be a list of str, not %s",
                     argument, Py_TYPE(list)->tp_name);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError,
                         "compile() argument '%s' must be a list of str, but element %zd is %s",
                         argument, i, Py_TYPE(item)->tp_name);
            return false;
        }
    }
    return true;
}

void set_unknown(const char* what, PyObject* name) {
    PyRef message(PyUnicode_FromFormat("%s '%U' not known.\n", what, name));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

// Appends the code of every name in list (a checked list of str) to codes;
// false with ValueError at the first unknown name.
template <typename Lookup>
bool append_codes(PyObject* list, const char* what, Lookup lookup, std::vector<int32_t>& codes) {
    if (!list) return true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        const int32_t code = lookup(text_of(item));
        if (code < 0) {
            set_unknown(what, item);
            return false;
        }
        codes.push_back(code);
    }
    return true;
}

}  // namespace

PyObject* model_compile(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"optimizer", "loss", "metrics", "monitors", nullptr};
    PyObject* optimizer = nullptr;
    const char* loss = "";
    PyObject* metrics = nullptr;
    PyObject* monitors = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OsOO:compile", const_cast<char**>(keywords),
                                     &optimizer, &loss, &metrics, &monitors)) {
        return nullptr;
    }
    if (!check_names(metrics, "metrics") || !check_names(monitors, "monitors")) return nullptr;

    auto* model = reinterpret_cast<ModelObject*>(self);
    // From here a failure leaves the model not compiled. The previous
    // optimizer is released only on return: its release may run Python code.
    PyRef previous(std::exchange(model->optimizer, nullptr));
    model->compiled = false;
    model->loss_set = false;
    model->codes.clear();

    try {
        if (!optimizer) {
            model->optimizer = optimizer_by_name("alpha");
            if (!model->optimizer) return nullptr;
        } else if (is_optimizer(optimizer)) {
            Py_INCREF(optimizer);
            model->optimizer = optimizer;
        } else if (!PyUnicode_Check(optimizer)) {
            PyErr_SetString(
                PyExc_ValueError,
                "The given optimizer is not an optimizer and not the name of an optimizer.\n");
            return nullptr;
        } else {
            model->optimizer = optimizer_by_name(text_of(optimizer));
            if (!model->optimizer) {
                if (!PyErr_Occurred()) set_unknown("Optimizer", optimizer);
                return nullptr;
            }
        }

        if (*loss != '\0') {
            const int32_t code = loss_code(loss);
            if (code < 0) {
                PyErr_Format(PyExc_ValueError, "Loss '%s' not known.\n", loss);
                return nullptr;
            }
            model->codes.push_back(code);
            model->loss_set = true;
        }
        if (!append_codes(metrics, "Metric", loss_code, model->codes)) return nullptr;

        model->monitors.clear();
        if (!append_codes(monitors, "Monitor", monitor_code, model->monitors)) return nullptr;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    model->compiled = true;
    Py_RETURN_NONE;
}

}  // namespace tessavo
