#include "module/func_evolve.hpp"

#include <utility>
#include <vector>

#include "module/datasets.hpp"
#include "module/genome.hpp"
#include "module/history.hpp"
#include "module/model.hpp"
#include "module/optimizers.hpp"
#include "module/pyref.hpp"
#include "module/run_support.hpp"
#include "module/seeding.hpp"
#include "progress/loss_names.hpp"
#include "random/sources.hpp"
#include "training/func_evolve.hpp"

namespace tessavo {

namespace {

bool check_arguments(PyObject* train_func, PyObject* validation_func, int pop_size, int epochs) {
    if (!PyCallable_Check(train_func)) {
        PyErr_Format(PyExc_TypeError, "train_func must be callable, got %s.",
                     Py_TYPE(train_func)->tp_name);
        return false;
    }
    if (validation_func != Py_None && !PyCallable_Check(validation_func)) {
        PyErr_Format(PyExc_TypeError, "validation_func must be None or callable, got %s.",
                     Py_TYPE(validation_func)->tp_name);
        return false;
    }
    if (pop_size < 1) {
        PyErr_Format(PyExc_ValueError, "pop_size must be at least 1, got %d.", pop_size);
        return false;
    }
    if (epochs < 0) {
        PyErr_Format(PyExc_ValueError, "epochs must not be negative, got %d.", epochs);
        return false;
    }
    return true;
}

// Hands the pool to train_func as genomes and reads back one row per member.
bool score_with(PyObject* train_func, std::vector<Network>& pool, std::vector<LossRow>& rows) {
    const auto count = static_cast<Py_ssize_t>(pool.size());
    PyRef genomes(PyList_New(count));
    if (!genomes) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* genome = make_genome(pool[i]);
        if (!genome) return false;
        PyList_SET_ITEM(genomes.get(), i, genome);
    }
    PyRef result(PyObject_CallOneArg(train_func, genomes.get()));
    genomes = PyRef();
    if (!result) return false;
    std::vector<std::vector<double>> table;
    if (!array_to_rows(result.get(), table)) return false;
    if (table.size() < pool.size() || (!table.empty() && table[0].empty())) {
        PyErr_Format(PyExc_ValueError,
                     "train_func must return one score (or one row of scores) per genome: "
                     "expected %zd rows, got %zd of %zd columns.",
                     count, static_cast<Py_ssize_t>(table.size()),
                     static_cast<Py_ssize_t>(table.empty() ? 0 : table[0].size()));
        return false;
    }
    table.resize(pool.size());
    rows = std::move(table);
    return true;
}

// Calls validation_func on a genome of the best network.
bool validate(PyObject* validation_func, const Network& best, double& value) {
    PyRef genome(make_genome(best));
    if (!genome) return false;
    PyRef result(PyObject_CallOneArg(validation_func, genome.get()));
    if (!result) return false;
    value = PyFloat_AsDouble(result.get());
    return !(value == -1.0 && PyErr_Occurred());
}

}  // namespace

PyObject* model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"train_func",      "pop_size",  "epochs", "verbose",
                                     "validation_func", "callbacks", "seed",   nullptr};
    PyObject* train_func = nullptr;
    PyObject* validation_func = Py_None;
    PyObject* callbacks_argument = Py_None;
    PyObject* seed_argument = Py_None;
    int pop_size = 100, epochs = 100, verbose = 1;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "O|iiO&O$OO:func_evolve", const_cast<char**>(keywords), &train_func,
            &pop_size, &epochs, parse_verbose, &verbose, &validation_func, &callbacks_argument,
            &seed_argument)) {
        return nullptr;
    }
    std::optional<uint64_t> seed;
    if (!parse_seed(seed_argument, seed)) return nullptr;
    std::optional<SeededDraws> draws;
    if (seed) draws.emplace(*seed, seeded_run_purpose);
    if (!check_arguments(train_func, validation_func, pop_size, epochs)) return nullptr;
    Callbacks callbacks;
    if (!callbacks.parse(callbacks_argument)) return nullptr;
    auto* model = reinterpret_cast<ModelObject*>(self);
    if (!check_evolvable(model)) return nullptr;
    if (model->network.size == 0 || model->network.inputs != model->inputs ||
        model->network.outputs != model->outputs) {
        PyErr_SetString(PyExc_RuntimeError, "This object holds no network to evolve.");
        return nullptr;
    }
    const bool has_validation = validation_func != Py_None;
    // The callbacks run Python code that may hold or replace these.
    PyRef train_ref = PyRef::borrow(train_func);
    PyRef validation_ref = PyRef::borrow(validation_func);
    FunctionSettings settings;
    settings.pop_size = pop_size;
    settings.epochs = epochs;
    settings.verbose = verbose;
    settings.monitors = model->monitors;
    // Read now: the callbacks may compile the model again.
    try {
        settings.optimizer = optimizer_strategy(model->optimizer);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    const bool recurrent = model->recurrent;
    BestGenomeScope best_genome(model);
    if (!callbacks.train_begin(model)) return nullptr;
    // on_train_begin may have rebuilt the model.
    if (model->network.size == 0 || model->network.inputs != model->inputs ||
        model->network.outputs != model->outputs || model->recurrent != recurrent) {
        PyErr_SetString(PyExc_RuntimeError,
                        "The model was changed before its run started; it was not evolved.");
        return nullptr;
    }
    PythonConsole console;

    try {
        FunctionScoring scoring;
        scoring.score = [&](int32_t, std::vector<Network>& pool, std::vector<LossRow>& rows) {
            return score_with(train_ref.get(), pool, rows);
        };
        if (has_validation) {
            scoring.validate = [&](const Network& best, double& value) {
                return validate(validation_ref.get(), best, value);
            };
        }
        // One score per member: the history calls it the loss.
        const std::vector<int32_t> codes = {LOSS_MSE};
        const bool has_monitors = !settings.monitors.empty();
        const RunHooks hooks =
            python_hooks(model, callbacks, console, codes, has_validation, has_monitors, false);
        RunResult result;
        if (!evolve_function(model->network, settings, scoring, hooks, result)) return nullptr;
        PyRef history(history_dict(result.history, codes, has_validation, has_monitors));
        if (!history) return nullptr;
        const std::size_t run = result.history.sizes.size();
        PyRef last_logs(
            run == 0 ? PyDict_New()
                     : epoch_logs(result.history, codes, has_validation, has_monitors, run - 1));
        if (!last_logs || !finish_run(model, std::move(result.best), callbacks, last_logs.get())) {
            return nullptr;
        }
        return history.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tessavo
