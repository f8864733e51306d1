#include "module/evolve.hpp"

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/arrays.hpp"
#include "module/backup_binding.hpp"
#include "module/datasets.hpp"
#include "module/history.hpp"
#include "module/model.hpp"
#include "module/optimizers.hpp"
#include "module/pyref.hpp"
#include "module/run_support.hpp"
#include "module/seeding.hpp"
#include "network/memory.hpp"
#include "random/sources.hpp"
#include "training/evolve.hpp"

namespace tessavo {

namespace {

// Items 0 and 1 of validation_data, which must be a tuple of two array-likes.
bool unpack_validation(PyObject* data, int32_t outputs, PyRef (&keep)[2]) {
    if (!PyTuple_Check(data) || PyTuple_GET_SIZE(data) != 2) {
        PyErr_Format(PyExc_TypeError,
                     "validation_data must be None or a tuple (x_val, y_val) of two arrays, got "
                     "%s.",
                     Py_TYPE(data)->tp_name);
        return false;
    }
    keep[0] = as_array(PyTuple_GET_ITEM(data, 0), "x_val");
    if (!keep[0]) return false;
    keep[1] = as_targets(PyTuple_GET_ITEM(data, 1), "y_val", outputs);
    return static_cast<bool>(keep[1]);
}

// x_train and y_train as arrays; keep holds them.
bool train_arrays(PyObject* x, PyObject* y, int32_t outputs, PyRef (&keep)[2]) {
    keep[0] = as_array(x, "x_train");
    if (!keep[0]) return false;
    keep[1] = as_targets(y, "y_train", outputs);
    return static_cast<bool>(keep[1]);
}

bool check_settings(int pop_size, int batch_size, int epochs) {
    if (pop_size < 1) {
        PyErr_Format(PyExc_ValueError, "pop_size must be at least 1, got %d.", pop_size);
        return false;
    }
    if (batch_size == 0 || batch_size < -1) {
        PyErr_Format(PyExc_ValueError, "batch_size must be -1 or at least 1, got %d.", batch_size);
        return false;
    }
    if (epochs < 0) {
        PyErr_Format(PyExc_ValueError, "epochs must not be negative, got %d.", epochs);
        return false;
    }
    return true;
}

// Shape checks and conversion of one pair of arrays.
bool load_pair(PyArrayObject* x, PyArrayObject* y, const char* x_name, const char* y_name,
               const ModelObject* model, PyRef (&keep)[2], SeriesView& xs, SeriesView& ys) {
    return check_shapes(x, y, x_name, y_name, model->recurrent, model->inputs, model->outputs) &&
           check_not_empty(x, x_name, y_name, model->recurrent) &&
           array_to_series(x, keep[0], xs) && array_to_series(y, keep[1], ys);
}

}  // namespace

PyObject* model_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* model = reinterpret_cast<ModelObject*>(self);
    // Checked before parsing: an uncompiled model reports this first.
    if (!model->compiled) {
        PyErr_SetString(PyExc_RuntimeError,
                        "You must compile your model before evolving. Use `model.compile(loss)`.");
        return nullptr;
    }
    if (!model->loss_set) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Please set the loss function uring compilation. Use "
                        "`model.compile(loss)`.");
        return nullptr;
    }
    static const char* keywords[] = {
        "x_train",         "y_train", "pop_size",  "batch_size", "epochs",
        "validation_data", "verbose", "callbacks", "seed",       nullptr};
    PyObject* x_argument = nullptr;
    PyObject* y_argument = nullptr;
    int pop_size = 100, batch_size = -1, epochs = 100, verbose = 1;
    PyObject* validation_data = Py_None;
    PyObject* callbacks_argument = Py_None;
    PyObject* seed_argument = Py_None;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "OO|iiiOO&$OO:evolve", const_cast<char**>(keywords), &x_argument,
            &y_argument, &pop_size, &batch_size, &epochs, &validation_data, parse_verbose, &verbose,
            &callbacks_argument, &seed_argument)) {
        return nullptr;
    }
    std::optional<uint64_t> seed;
    if (!parse_seed(seed_argument, seed)) return nullptr;
    std::optional<SeededDraws> draws;
    if (seed) draws.emplace(*seed, seeded_run_purpose);
    if (!check_settings(pop_size, batch_size, epochs)) return nullptr;
    if (!check_evolvable(model)) return nullptr;
    Callbacks callbacks;
    if (!callbacks.parse(callbacks_argument)) return nullptr;
    RunBackupPlan backup;
    if (!backup.prepare(callbacks_argument)) return nullptr;
    const bool has_validation = validation_data != Py_None;
    PyRef train_arguments[2], validation_arguments[2];
    if (!train_arrays(x_argument, y_argument, model->outputs, train_arguments)) return nullptr;
    if (has_validation &&
        !unpack_validation(validation_data, model->outputs, validation_arguments)) {
        return nullptr;
    }
    auto* x_train = reinterpret_cast<PyArrayObject*>(train_arguments[0].get());
    auto* y_train = reinterpret_cast<PyArrayObject*>(train_arguments[1].get());
    auto* x_val = reinterpret_cast<PyArrayObject*>(validation_arguments[0].get());
    auto* y_val = reinterpret_cast<PyArrayObject*>(validation_arguments[1].get());
    const Network& network = model->network;
    if (network.size == 0 || network.inputs != model->inputs || network.outputs != model->outputs) {
        PyErr_SetString(PyExc_RuntimeError, "This object holds no network to evolve.");
        return nullptr;
    }
    if (model->codes.empty()) {
        PyErr_SetString(PyExc_RuntimeError, "The model has no compiled loss to evolve on.");
        return nullptr;
    }

    try {
        // Read before the data: converting it may run Python code.
        EvolveSettings settings;
        settings.pop_size = pop_size;
        settings.batch_size = batch_size;
        settings.epochs = epochs;
        settings.verbose = verbose;
        settings.codes = model->codes;
        settings.monitors = model->monitors;
        settings.optimizer = optimizer_strategy(model->optimizer);
        const std::string optimizer_text = backup.active() ? repr_text(model->optimizer) : "";
        if (backup.active() && optimizer_text.empty()) return nullptr;
        const int32_t inputs = model->inputs;
        const int32_t outputs = model->outputs;
        const bool recurrent = model->recurrent;
        // The converted data (and its shuffled copy when there are several
        // batches) and the population, before any of it is built.
        long double data_bytes = series_bytes(x_train) + series_bytes(y_train);
        // A 0-d array has no length; the shape checks below refuse it.
        if (batch_size != -1 && PyArray_NDIM(x_train) > 0 && batch_size < PyArray_DIM(x_train, 0)) {
            data_bytes += float64_bytes(static_cast<long double>(PyArray_SIZE(x_train)) +
                                        static_cast<long double>(PyArray_SIZE(y_train)));
        }
        if (has_validation) data_bytes += series_bytes(x_val) + series_bytes(y_val);
        check_population_fits(network, pop_size, data_bytes);
        settings.scoring_section = without_interpreter_lock;
        // The blocks stay referenced while the run reads them in place.
        PyRef train_blocks[2], validation_blocks[2];
        SeriesView x, y, xv, yv;
        if (!load_pair(x_train, y_train, "x_train", "y_train", model, train_blocks, x, y)) {
            return nullptr;
        }
        if (has_validation &&
            !load_pair(x_val, y_val, "x_val", "y_val", model, validation_blocks, xv, yv)) {
            return nullptr;
        }
        if (backup.active()) {
            // What a resumed run must share with the run that wrote its backup.
            const RunArguments arguments = {
                {"the run", "evolve"},
                {"pop_size", std::to_string(pop_size)},
                {"seed", seed ? std::to_string(*seed) : "None"},
                {"the optimizer", optimizer_text},
                {"the loss and metrics", codes_text(settings.codes)},
                {"the monitors", codes_text(settings.monitors)},
                {"the model's inputs", std::to_string(inputs)},
                {"the model's outputs", std::to_string(outputs)},
                {"recurrent", recurrent ? "True" : "False"},
                {"batch_size", std::to_string(batch_size)},
                {"x_train", data_fingerprint(x)},
                {"y_train", data_fingerprint(y)},
                {"validation_data",
                 has_validation ? data_fingerprint(xv) + " and " + data_fingerprint(yv) : "None"},
            };
            if (!backup.load(arguments)) return nullptr;
            settings.resume = backup.resume();
        }
        BestGenomeScope best_genome(model);
        if (!callbacks.train_begin(model)) return nullptr;
        // Converting a subclass and on_train_begin run Python code, which
        // may rebuild the model; the data was checked against the network it
        // had before.
        if (model->inputs != inputs || model->outputs != outputs || model->recurrent != recurrent ||
            network.inputs != inputs || network.outputs != outputs) {
            PyErr_SetString(PyExc_RuntimeError,
                            "The model was changed while its data was converted; it was not "
                            "evolved.");
            return nullptr;
        }
        EvolveResult result;
        PythonConsole console;
        const bool has_monitors = !settings.monitors.empty();
        RunHooks hooks = python_hooks(model, callbacks, console, settings.codes, has_validation,
                                      has_monitors, true);
        backup.install(hooks);
        const bool completed =
            evolve_dataset(network, x, y, has_validation ? &xv : nullptr,
                           has_validation ? &yv : nullptr, settings, hooks, result);
        if (!completed || !console.ok()) return nullptr;
        PyRef history(history_dict(result.history, settings.codes, has_validation, has_monitors));
        if (!history) return nullptr;
        const std::size_t run = result.history.sizes.size();
        PyRef last_logs(run == 0 ? PyDict_New()
                                 : epoch_logs(result.history, settings.codes, has_validation,
                                              has_monitors, run - 1));
        if (!last_logs || !finish_run(model, std::move(result.best), callbacks, last_logs.get())) {
            return nullptr;
        }
        backup.finish();
        return history.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tessavo
