// What evolve and func_evolve share around a run: the callbacks and the
// console lines written through sys.stdout when it has been replaced.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "module/model.hpp"
#include "module/pyref.hpp"
#include "progress/console.hpp"
#include "training/driver.hpp"

namespace tessavo {

// While alive, the console lines of the calling thread go to sys.stdout
// (with the interpreter lock) when sys.stdout is not sys.__stdout__, as in
// a notebook or under contextlib.redirect_stdout; otherwise to C stdout.
class PythonConsole {
public:
    PythonConsole();
    PythonConsole(const PythonConsole&) = delete;
    PythonConsole& operator=(const PythonConsole&) = delete;
    // False, with the exception set, when writing to sys.stdout failed.
    bool ok();

private:
    static void write(void* context, std::string_view text);

    PyRef stream_;
    PyRef error_type_, error_value_, error_traceback_;
    std::optional<ConsoleRedirect> redirect_;
};

// The callbacks argument: None or a list of objects with at least one of
// the hooks on_train_begin(logs), on_epoch_begin(epoch, logs),
// on_train_batch_begin(batch, logs), on_train_batch_end(batch, logs),
// on_epoch_end(epoch, logs), on_train_end(logs).
class Callbacks {
public:
    // False with TypeError for anything else.
    bool parse(PyObject* argument);
    // Resets model.stop_training, hands each callback the model (set_model)
    // and calls on_train_begin.
    bool train_begin(ModelObject* model);
    // on_epoch_begin with empty logs.
    bool epoch_begin(int32_t epoch);
    // on_train_batch_begin with empty logs.
    bool batch_begin(int64_t batch);
    // on_train_batch_end.
    bool batch_end(int64_t batch, PyObject* logs);
    // Publishes best as model.best_genome, calls on_epoch_end and reads
    // model.stop_training.
    EpochAction epoch_end(ModelObject* model, int32_t epoch, PyObject* logs, const Network& best);
    bool train_end(PyObject* logs);
    bool empty() const { return objects_.empty(); }

private:
    std::vector<PyRef> objects_;
};

// The hooks of a run: Ctrl-C and console failures end it between batches,
// the callbacks are called with the logs of the history's keys (codes and
// the flags as for history_dict), and model.stop_training ends it. A flag
// raised during an epoch ends the epoch after its batch; one already set
// when the epoch began ends the run after the epoch. Without batch_hooks
// (function evolution has no batches) the batch hooks are not called.
RunHooks python_hooks(ModelObject* model, Callbacks& callbacks, PythonConsole& console,
                      const std::vector<int32_t>& codes, bool has_validation, bool has_monitors,
                      bool batch_hooks);

// A converter for PyArg_Parse* ("O&"): verbose as an int, as "i" takes
// it, or "auto", which means 1. Other strings raise ValueError.
int parse_verbose(PyObject* object, void* verbose);

// Runs work with the interpreter lock released (the caller holds it), so
// that other Python threads run meanwhile; work touches no Python object.
// An exception from work is rethrown once the lock is held again.
void without_interpreter_lock(const std::function<void()>& work);

// Holds the interpreter lock in code that may run with it released.
class GilHold {
public:
    GilHold() : state_(PyGILState_Ensure()) {}
    ~GilHold() { PyGILState_Release(state_); }
    GilHold(const GilHold&) = delete;
    GilHold& operator=(const GilHold&) = delete;

private:
    PyGILState_STATE state_;
};

// Clears model.best_genome when a run ends, however it ends.
class BestGenomeScope {
public:
    explicit BestGenomeScope(ModelObject* model) : model_(model) {}
    ~BestGenomeScope() { Py_CLEAR(model_->best_genome); }
    BestGenomeScope(const BestGenomeScope&) = delete;
    BestGenomeScope& operator=(const BestGenomeScope&) = delete;

private:
    ModelObject* model_;
};

// The end of a completed run: runs pending signal handlers, installs the
// trained network, calls on_train_end and runs pending handlers again; if a
// handler or a hook raises, the model gets back the network it had before.
bool finish_run(ModelObject* model, Network&& trained, Callbacks& callbacks, PyObject* logs);

// tessavo._core._install_genome(model, genome): the model takes a copy of
// the genome's network and its dimensions.
PyObject* module_install_genome(PyObject* module, PyObject* args);

}  // namespace tessavo
