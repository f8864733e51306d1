#include "module/func_evolve.hpp"

#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "module/datasets.hpp"
#include "module/genome.hpp"
#include "module/genome_batch.hpp"
#include "module/history.hpp"
#include "module/model.hpp"
#include "module/optimizers.hpp"
#include "module/pyref.hpp"
#include "module/run_support.hpp"
#include "progress/progress.hpp"
#include "training/beta.hpp"
#include "training/population.hpp"

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
bool score_with(PyObject* train_func, bool recurrent, std::vector<Network>& pool,
                std::vector<LossRow>& rows, int64_t epoch) {
    const auto count = static_cast<Py_ssize_t>(pool.size());
    PyRef genomes(make_genome_batch(count, epoch));
    if (!genomes) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Every genome starts a fresh sequence.
        if (recurrent) clear_state(pool[i]);
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
                                     "validation_func", "callbacks", nullptr};
    PyObject* train_func = nullptr;
    PyObject* validation_func = Py_None;
    PyObject* callbacks_argument = Py_None;
    int pop_size = 100, epochs = 100, verbose = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|iiiO$O:func_evolve",
                                     const_cast<char**>(keywords), &train_func, &pop_size, &epochs,
                                     &verbose, &validation_func, &callbacks_argument)) {
        return nullptr;
    }
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
    const std::vector<int32_t> monitors = model->monitors;
    // Read now: the callbacks may compile the model again.
    std::optional<BetaSettings> beta_settings;
    if (const BetaSettings* beta = beta_settings_of(model->optimizer)) beta_settings = *beta;
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
        check_population_fits(model->network, pop_size);
        Population population;
        std::optional<BetaSearch> beta;
        if (beta_settings) {
            beta.emplace(model->network, pop_size, *beta_settings);
        } else {
            population.members = seed_population(model->network, pop_size);
            // No scores before the first epoch.
            population.losses.assign(population.members.size(), LossRow{0.0});
        }
        Network best = beta ? beta->members()[0] : population.members[0];
        std::vector<double> losses, validation;
        std::vector<int32_t> sizes;
        int32_t epoch = 0;
        const PoolScorer scorer = [&](std::vector<Network>& pool, std::vector<LossRow>& rows) {
            return score_with(train_func, recurrent, pool, rows, epoch);
        };

        auto logs_of = [&](std::size_t epoch) -> PyObject* {
            PyRef logs(PyDict_New());
            if (!logs) return nullptr;
            PyRef loss(PyFloat_FromDouble(losses[epoch]));
            if (!loss || PyDict_SetItemString(logs.get(), "loss", loss.get()) != 0) return nullptr;
            if (has_validation) {
                PyRef value(PyFloat_FromDouble(validation[epoch]));
                if (!value || PyDict_SetItemString(logs.get(), "val_loss", value.get()) != 0) {
                    return nullptr;
                }
            }
            if (!monitors.empty()) {
                PyRef size(PyLong_FromLong(sizes[epoch]));
                if (!size || PyDict_SetItemString(logs.get(), "size", size.get()) != 0) {
                    return nullptr;
                }
            }
            return logs.release();
        };

        for (; epoch < epochs; ++epoch) {
            if (PyErr_CheckSignals() != 0 || !console.ok()) return nullptr;
            const int64_t start = monotonic_ns();
            if (!(beta ? beta->run_generation(scorer) : run_generation(population, scorer))) {
                return nullptr;
            }
            const std::vector<Network>& members = beta ? beta->members() : population.members;
            const std::vector<LossRow>& rows = beta ? beta->losses() : population.losses;
            // Without a finite score the previous best stays, and the
            // history records the largest finite double for this epoch.
            double best_score = std::numeric_limits<double>::max();
            if (const auto index = find_best(rows)) {
                best = members[*index];
                best_score = primary_loss(rows[*index]);
            }
            double value = 0.0;
            if (has_validation && !validate(validation_func, best, value)) return nullptr;
            print_epoch_progress(verbose, monitors, best.size, start, epoch, epochs, best_score,
                                 has_validation, value);
            losses.push_back(best_score);
            if (has_validation) validation.push_back(value);
            sizes.push_back(best.size);
            if (!console.ok()) return nullptr;
            PyRef logs;
            if (!callbacks.empty()) {
                logs = PyRef(logs_of(static_cast<std::size_t>(epoch)));
                if (!logs) return nullptr;
            }
            const EpochAction action = callbacks.epoch_end(model, epoch, logs.get(), best);
            if (action == EpochAction::fail) return nullptr;
            if (action == EpochAction::stop) break;
        }

        PyRef history(PyDict_New());
        if (!history || !set_list(history.get(), "loss", float_list(losses))) return nullptr;
        if (has_validation && !set_list(history.get(), "val_loss", float_list(validation))) {
            return nullptr;
        }
        if (!monitors.empty() && !set_list(history.get(), "size", int_list(sizes))) {
            return nullptr;
        }
        PyRef last_logs(losses.empty() ? PyDict_New() : logs_of(losses.size() - 1));
        if (!last_logs || !finish_run(model, std::move(best), callbacks, last_logs.get())) {
            return nullptr;
        }
        return history.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tessavo
